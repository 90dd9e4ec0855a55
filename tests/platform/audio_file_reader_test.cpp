#include <gtest/gtest.h>

#include <cmath>

#include "platform/audio_file.h"
#include "support/test_support.h"

#ifdef VEXAL_HAVE_VORBISFILE
#include <vorbis/vorbisfile.h>
#endif

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

struct Codec {
  std::uint32_t formatId;
  std::string name;
};

Codec expectedCodec(InputKind kind) {
  const std::string kindName = test::nameOf(kind);
  const auto has = [&](const char* part) { return kindName.find(part) != std::string::npos; };
  if (has("lac") && !has("alac")) return {FormatID::kFLAC, "FLAC"};
  if (has("alac")) return {FormatID::kALAC, "ALAC"};
  if (has("aac")) return {FormatID::kAAC, "AAC"};
  if (has("mp3")) return {FormatID::kMP3, "MP3"};
  if (has("orbis")) return {FormatID::kVorbis, "Vorbis"};
  if (has("pus")) return {FormatID::kOpus, "Opus"};
  if (has("wma")) return {FormatID::kWMA, "WMA"};
  if (has("wavPack")) return {FormatID::kOther, "WavPack"};
  if (has("tta")) return {FormatID::kOther, "TTA"};
  return {FormatID::kLinearPCM, "PCM"};
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

TEST_P(InputKindTest, ReportsFormatCodecAndExactLength) {
  const InputKind kind = GetParam();
  const test::Signal signal = fixtureSignal(kind, 2);
  const auto path = test::writeAudio(dir_.path(), "in", signal, kind);

  std::unique_ptr<AudioFileReader> reader;
  ASSERT_EQ(AudioFileReader::open(path, reader), kNoError);
  StreamDescription format;
  ASSERT_EQ(reader->getFileDataFormat(format), kNoError);
  EXPECT_EQ(format.sampleRate, signal.sampleRate);
  EXPECT_EQ(format.channelsPerFrame, 2u);
  EXPECT_EQ(format.formatID, expectedCodec(kind).formatId);
  EXPECT_EQ(reader->codecName(), expectedCodec(kind).name);
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
  // Forward and backward targets, inside and across packet boundaries, and past the end
  // (which reads nothing).
  for (const std::int64_t target : {std::int64_t{50000}, std::int64_t{1}, std::int64_t{77777}, std::int64_t{4096},
                                    std::int64_t{0}, full.frames() - 100, full.frames() + 100000}) {
    constexpr std::int64_t kCount = 3000;
    ASSERT_EQ(reader->seek(target), kNoError);
    const std::vector<float> got = readFrames(*reader, 2, kCount);
    const std::int64_t expectedFrames = std::clamp<std::int64_t>(full.frames() - target, 0, kCount);
    if (expectedFrames == 0) {
      EXPECT_TRUE(got.empty()) << "read past the end";
      continue;
    }
    ASSERT_EQ(static_cast<std::int64_t>(got.size()), expectedFrames * 2) << "target " << target;
    const std::vector<float> expected(full.samples.begin() + target * 2,
                                      full.samples.begin() + (target + expectedFrames) * 2);
    if (expectedCodec(kind).formatId != FormatID::kAAC) {
      EXPECT_TRUE(got == expected) << "seek to " << target << " is not sample-accurate";
      continue;
    }
    // AAC's noise substitution draws from a generator that runs over the whole stream, so
    // noise bands differ after a skip: by under 1e-5 here, but by up to 0.02 in the last
    // frames, where the cut-off tone is coded as noise (a one-frame shift makes 0.03).
    constexpr std::int64_t kNoisyEnd = 2048;
    const auto checked = static_cast<std::size_t>(
        std::clamp<std::int64_t>(full.frames() - kNoisyEnd - target, 0, expectedFrames) * 2);
    for (std::size_t i = 0; i < checked; ++i) {
      ASSERT_NEAR(got[i], expected[i], 1e-4f) << "seek to " << target << " is not sample-accurate";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllInputs, InputKindTest, ::testing::ValuesIn(test::kAllInputKinds),
                         [](const auto& info) { return test::nameOf(info.param); });

// Short Ogg streams whose only audio page is also the last one: the final granule alone
// fixes the length, and samples past it are cut from the end.
struct SinglePageCase {
  InputKind kind;
  double rate;
  std::uint32_t channels;
  double seconds;
};

class OggSinglePageTest : public ::testing::TestWithParam<SinglePageCase> {
 protected:
  test::TempDir dir_;
};

// Error energy against the source, relative to the source, in dB. Skips the edges where
// lossy codecs fade in.
double errorDb(const std::vector<float>& decoded, const std::vector<float>& source,
               std::size_t edge) {
  double error = 0;
  double signal = 0;
  for (std::size_t i = edge; i + edge < source.size() && i < decoded.size(); ++i) {
    error += (decoded[i] - source[i]) * (decoded[i] - source[i]);
    signal += source[i] * source[i];
  }
  return 10.0 * std::log10(error / signal);
}

#ifdef VEXAL_HAVE_VORBISFILE
test::DecodedAudio decodeWithVorbisfile(const std::filesystem::path& path, std::int64_t& total) {
  test::DecodedAudio audio;
  OggVorbis_File file;
  if (ov_fopen(path.c_str(), &file) != 0) return audio;
  total = ov_pcm_total(&file, -1);
  audio.channels = static_cast<std::uint32_t>(ov_info(&file, -1)->channels);
  audio.sampleRate = static_cast<double>(ov_info(&file, -1)->rate);
  float** pcm = nullptr;
  int section = 0;
  for (long frames; (frames = ov_read_float(&file, &pcm, 4096, &section)) > 0;) {
    for (long i = 0; i < frames; ++i) {
      for (std::uint32_t c = 0; c < audio.channels; ++c) audio.samples.push_back(pcm[c][i]);
    }
  }
  ov_clear(&file);
  return audio;
}
#endif

TEST_P(OggSinglePageTest, LengthIsTheFinalGranuleAndTheStartStays) {
  const SinglePageCase c = GetParam();
  test::Signal signal = test::sine(c.rate, c.channels, c.seconds, 440.0, -6.0);
  signal.frames += kOddExtra;
  const auto path = test::writeAudio(dir_.path(), "short", signal, c.kind);

  std::unique_ptr<AudioFileReader> reader;
  ASSERT_EQ(AudioFileReader::open(path, reader), kNoError);
  std::int64_t length = 0;
  ASSERT_EQ(reader->getFileLengthFrames(length), kNoError);
  EXPECT_EQ(length, signal.frames);
  const test::DecodedAudio decoded = test::decodeFile(path);
  EXPECT_EQ(decoded.frames(), length);
  const std::vector<float> source = test::isLossless(c.kind)
                                        ? test::quantised(signal, test::bitDepthOf(c.kind))
                                        : test::render(signal);
  if (test::isLossless(c.kind)) {
    EXPECT_TRUE(decoded.samples == source) << "lossless decode is not bit-exact";
  } else {
    // Codecs reach -37 dB or better here; a start shifted by 64 frames (the smallest
    // Vorbis block) lifts the error above 0 dB.
    EXPECT_LT(errorDb(decoded.samples, source, 1024 * c.channels), -20.0);
  }

#ifdef VEXAL_HAVE_VORBISFILE
  if (c.kind != InputKind::oggVorbis) return;
  std::int64_t referenceTotal = -1;
  const test::DecodedAudio reference = decodeWithVorbisfile(path, referenceTotal);
  EXPECT_EQ(referenceTotal, length);
  ASSERT_EQ(reference.samples.size(), decoded.samples.size());
  float worst = 0;
  for (std::size_t i = 0; i < reference.samples.size(); ++i) {
    worst = std::max(worst, std::abs(reference.samples[i] - decoded.samples[i]));
  }
  EXPECT_LT(worst, 1e-4f) << "samples differ from libvorbisfile's";
#endif
}

// FFmpeg's own trim of these Vorbis streams ends too late (0.3 s) or too early (0.5 s).
INSTANTIATE_TEST_SUITE_P(ShortStreams, OggSinglePageTest,
                         ::testing::Values(SinglePageCase{InputKind::oggVorbis, 22050, 2, 0.3},
                                           SinglePageCase{InputKind::oggVorbis, 22050, 2, 0.5},
                                           SinglePageCase{InputKind::oggVorbis, 44100, 1, 0.4},
                                           SinglePageCase{InputKind::oggOpus, 48000, 2, 0.3}),
                         [](const auto& info) {
                           return test::nameOf(info.param.kind) + "_" +
                                  std::to_string(static_cast<int>(info.param.rate)) + "_" +
                                  std::to_string(info.param.channels) + "ch_" +
                                  std::to_string(static_cast<int>(info.param.seconds * 1000)) +
                                  "ms";
                         });

// DSD read as PCM: the reported rate, length and seek positions are at 88.2 kHz (or the
// 48 kHz family's 96 kHz) whatever the DSD rate.
struct DsdCase {
  double bitRate;  // 1-bit samples per second
  std::uint32_t channels;
  double pcmRate;
};

class DsdTest : public ::testing::TestWithParam<DsdCase> {
 protected:
  test::TempDir dir_;
};

TEST_P(DsdTest, ReadsAsPcmWithConsistentLengthAndSeeks) {
  const DsdCase c = GetParam();
  test::Signal signal = test::sine(c.bitRate, c.channels, 0.15, 1000.0, -6.0);
  signal.frames += 8 * 333;  // not a whole DSF block
  const auto path = test::writeDsf(dir_.path(), "tone", signal);

  std::unique_ptr<AudioFileReader> reader;
  ASSERT_EQ(AudioFileReader::open(path, reader), kNoError);
  StreamDescription format;
  ASSERT_EQ(reader->getFileDataFormat(format), kNoError);
  EXPECT_EQ(format.sampleRate, c.pcmRate);
  EXPECT_EQ(format.channelsPerFrame, c.channels);
  EXPECT_EQ(reader->codecName(), "DSD");
  std::int64_t length = 0;
  ASSERT_EQ(reader->getFileLengthFrames(length), kNoError);
  EXPECT_NEAR(static_cast<double>(length), static_cast<double>(signal.frames) * c.pcmRate / c.bitRate, 1.0);

  const test::DecodedAudio full = test::decodeFile(path);
  EXPECT_EQ(full.frames(), length);
  EXPECT_NEAR(test::frequencyOf(full), 1000.0, 5.0);
  EXPECT_NEAR(test::peakDbfs(full), -6.0, 1.5);

  // After a seek the resampler starts afresh: past its first frames the audio is the
  // full decode's, and the end falls on the same frame.
  constexpr std::int64_t kSettle = 64;
  const std::int64_t target = length / 3;
  ASSERT_EQ(reader->seek(target), kNoError);
  const std::vector<float> got = readFrames(*reader, c.channels, length);
  ASSERT_EQ(static_cast<std::int64_t>(got.size()), (length - target) * c.channels);
  float worst = 0;
  for (std::size_t i = kSettle * c.channels; i < got.size(); ++i) {
    worst = std::max(worst, std::abs(got[i] - full.samples[static_cast<std::size_t>(target) * c.channels + i]));
  }
  EXPECT_LT(worst, 1e-3f) << "seek does not land on the frame asked for";
}

INSTANTIATE_TEST_SUITE_P(Rates, DsdTest,
                         ::testing::Values(DsdCase{2822400, 2, 88200}, DsdCase{5644800, 1, 88200},
                                           DsdCase{3072000, 2, 96000}),
                         [](const auto& info) {
                           return "dsf" + std::to_string(static_cast<int>(info.param.bitRate)) + "_" +
                                  std::to_string(info.param.channels) + "ch";
                         });

}  // namespace
}  // namespace vexal::platform
