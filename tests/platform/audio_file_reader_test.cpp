#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <random>

#include "platform/audio_file.h"
#include "support/test_support.h"

namespace vexal::platform {
namespace {

using test::InputKind;

// 2.5 s with an odd frame count, so no format's packet size divides it.
constexpr double kSeconds = 2.5;
constexpr std::int64_t kOddExtra = 77;

double rateFor(InputKind kind) { return test::requires48k(kind) ? 48000.0 : 44100.0; }

test::Signal fixtureSignal(InputKind kind, std::uint32_t channels) {
  test::Signal signal = test::sine(rateFor(kind), channels, kSeconds, 440.0, -6.0);
  signal.frames += kOddExtra;
  return signal;
}

std::uint32_t expectedFormatId(InputKind kind) {
  switch (kind) {
    case InputKind::flac16:
    case InputKind::flac24:
    case InputKind::oggFlac:
      return FormatID::kFLAC;
    case InputKind::alacM4a16:
    case InputKind::alacM4a24:
    case InputKind::alac:
      return FormatID::kALAC;
    case InputKind::aacM4a:
    case InputKind::aacAdts:
      return FormatID::kAAC;
    case InputKind::mp3:
      return FormatID::kMP3;
    case InputKind::oggVorbis:
      return FormatID::kVorbis;
    case InputKind::oggOpus:
    case InputKind::opus:
      return FormatID::kOpus;
    case InputKind::wma:
      return FormatID::kWMA;
    default:
      return FormatID::kLinearPCM;
  }
}

std::vector<float> readFrames(AudioFileReader& reader, std::uint32_t channels, std::int64_t count) {
  std::vector<float> out;
  std::vector<float> buffer(4096 * channels);
  while (static_cast<std::int64_t>(out.size()) < count * channels) {
    std::uint32_t frames =
        static_cast<std::uint32_t>(std::min<std::int64_t>(4096, count - static_cast<std::int64_t>(out.size()) / channels));
    EXPECT_EQ(reader.read(buffer.data(), frames), kNoError);
    if (frames == 0) break;
    out.insert(out.end(), buffer.begin(), buffer.begin() + frames * channels);
  }
  return out;
}

class InputKindTest : public ::testing::TestWithParam<InputKind> {
 protected:
  test::TempDir dir_;
};

TEST_P(InputKindTest, ReportsFormatAndExactLength) {
  const InputKind kind = GetParam();
  const test::Signal signal = fixtureSignal(kind, 2);
  const auto path = test::writeAudio(dir_.path(), "in", signal, kind);

  std::unique_ptr<AudioFileReader> reader;
  ASSERT_EQ(AudioFileReader::open(path, reader), kNoError);
  StreamDescription format;
  ASSERT_EQ(reader->getFileDataFormat(format), kNoError);
  EXPECT_EQ(format.sampleRate, signal.sampleRate);
  EXPECT_EQ(format.channelsPerFrame, 2u);
  EXPECT_EQ(format.formatID, expectedFormatId(kind));
  if (test::bitDepthOf(kind) > 0 && kind != InputKind::wav32) {
    EXPECT_EQ(format.bitsPerChannel, static_cast<std::uint32_t>(test::bitDepthOf(kind)));
  }
  std::int64_t length = 0;
  ASSERT_EQ(reader->getFileLengthFrames(length), kNoError);

  const test::DecodedAudio decoded = test::decodeFile(path);
  EXPECT_EQ(decoded.frames(), length) << "decoded length differs from the reported one";
  if (test::hasExactLength(kind)) {
    EXPECT_EQ(length, signal.frames);
  } else {
    EXPECT_NEAR(static_cast<double>(length), static_cast<double>(signal.frames), 4096.0);
  }
  if (test::isLossless(kind)) {
    const std::vector<float> expected = test::quantised(signal, test::bitDepthOf(kind));
    ASSERT_EQ(decoded.samples.size(), expected.size());
    EXPECT_TRUE(decoded.samples == expected) << "lossless decode is not bit-exact";
  } else {
    EXPECT_NEAR(test::frequencyOf(decoded), 440.0, 2.0);
  }
}

TEST_P(InputKindTest, SeekThenReadMatchesFullDecode) {
  const InputKind kind = GetParam();
  const test::Signal signal = fixtureSignal(kind, 2);
  const auto path = test::writeAudio(dir_.path(), "in", signal, kind);
  const test::DecodedAudio full = test::decodeFile(path);

  std::unique_ptr<AudioFileReader> reader;
  ASSERT_EQ(AudioFileReader::open(path, reader), kNoError);
  // Forward and backward targets, inside and across packet boundaries.
  for (const std::int64_t target : {std::int64_t{50000}, std::int64_t{1}, std::int64_t{77777}, std::int64_t{4096},
                                    std::int64_t{0}, full.frames() - 100}) {
    constexpr std::int64_t kCount = 3000;
    ASSERT_EQ(reader->seek(target), kNoError);
    const std::vector<float> got = readFrames(*reader, 2, kCount);
    const std::int64_t expectedFrames = std::min(kCount, full.frames() - target);
    ASSERT_EQ(static_cast<std::int64_t>(got.size()), expectedFrames * 2) << "target " << target;
    const std::vector<float> expected(full.samples.begin() + target * 2,
                                      full.samples.begin() + (target + expectedFrames) * 2);
    EXPECT_TRUE(got == expected) << "seek to " << target << " is not sample-accurate";
  }
}

TEST_P(InputKindTest, ReportsCodecName) {
  const InputKind kind = GetParam();
  const auto path = test::writeAudio(dir_.path(), "in", test::silence(rateFor(kind), 1, 0.2), kind);
  std::unique_ptr<AudioFileReader> reader;
  ASSERT_EQ(AudioFileReader::open(path, reader), kNoError);
  const std::string name = reader->codecName();
  switch (expectedFormatId(kind)) {
    case FormatID::kLinearPCM:
      EXPECT_EQ(name, "PCM");
      break;
    case FormatID::kFLAC:
      EXPECT_EQ(name, "FLAC");
      break;
    case FormatID::kALAC:
      EXPECT_EQ(name, "ALAC");
      break;
    case FormatID::kAAC:
      EXPECT_EQ(name, "AAC");
      break;
    case FormatID::kMP3:
      EXPECT_EQ(name, "MP3");
      break;
    case FormatID::kOpus:
      EXPECT_EQ(name, "Opus");
      break;
    case FormatID::kVorbis:
      EXPECT_EQ(name, "Vorbis");
      break;
    default:
      EXPECT_EQ(name, "WMA");
  }
}

INSTANTIATE_TEST_SUITE_P(AllInputs, InputKindTest, ::testing::ValuesIn(test::kAllInputKinds),
                         [](const auto& info) { return test::nameOf(info.param); });

}  // namespace
}  // namespace vexal::platform
