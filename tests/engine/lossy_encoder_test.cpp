// Behaviour every lossy encoder shares: exact length of the encoded range, rate and
// channels and tone survival (through the conversion entry), progress, cancellation
// and write failures.

#include <gtest/gtest.h>
#include <taglib/fileref.h>
#include <taglib/flacpicture.h>
#include <taglib/xiphcomment.h>

#include <algorithm>
#include <cmath>
#include <stop_token>

#include "encode_test_util.h"

namespace vexal {
namespace {

using test::TempDir;

std::string formatName(OutputFormat format) { return std::string(rawValue(format)); }

struct RoundTripCase {
  OutputFormat format;
  std::uint32_t rate;
  std::uint32_t channels;
  bool ranged;  // an explicit start and end frame, else the whole file
  std::optional<std::int64_t> bitrate = std::nullopt;
  std::optional<double> outputRate = std::nullopt;  // customSampleRate
};

std::string roundTripName(const testing::TestParamInfo<RoundTripCase>& info) {
  const auto& c = info.param;
  return formatName(c.format) + "_" + std::to_string(c.rate) + "_" + std::to_string(c.channels) +
         "ch_" + (c.ranged ? "range" : "whole") +
         (c.outputRate ? "_to_" + std::to_string(static_cast<int>(*c.outputRate)) : "");
}

class LossyRoundTrip : public testing::TestWithParam<RoundTripCase> {};

TEST_P(LossyRoundTrip, KeepsLengthRateChannelsAndTone) {
  const auto c = GetParam();
  TempDir dir;
  // 1 kHz at −6.02 dBFS peak (amplitude 0.5): −9.03 dBFS RMS.
  const auto source =
      test::writeAudio(dir.path(), "tone", test::sine(c.rate, c.channels, 2.0, 1000, -6.0206), test::InputKind::wav16);
  const std::int64_t sourceFrames = c.rate * 2;

  ConversionSettings settings;
  settings.enabledFormats = {c.format};
  settings.customBitrate = c.bitrate;
  settings.customSampleRate = c.outputRate;
  const auto output = dir / "out";
  std::optional<std::int64_t> start;
  std::optional<std::int64_t> end;
  std::int64_t expectedFrames = sourceFrames;
  if (c.ranged) {
    start = 1234;
    end = 1234 + c.rate * 3 / 2 + 17;
    expectedFrames = *end - *start;
  }
  std::vector<double> progress;
  ASSERT_TRUE(AudioProcessor::convert(source, output, c.format, settings, start, end,
                                      [&](double p) { progress.push_back(p); })
                  .has_value());

  ASSERT_FALSE(progress.empty());
  EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
  EXPECT_EQ(progress.back(), 1.0);

  const auto decoded = test::decodeFile(output);
  EXPECT_EQ(decoded.channels, c.channels);
  const double outputRate = c.outputRate.value_or(c.rate);
  const std::int64_t rangeFrames = expectedFrames;
  if (c.outputRate) {
    // A range converts to the same duration at any output rate.
    expectedFrames = std::llround(static_cast<double>(expectedFrames) * outputRate / c.rate);
  }
  if (c.format == OutputFormat::opus) {
    // Opus codes these at 48 kHz, read straight from the source, and decodes at 48 kHz.
    EXPECT_EQ(decoded.sampleRate, 48000);
    expectedFrames = std::llround(static_cast<double>(rangeFrames) * 48000 / c.rate);
  } else {
    EXPECT_EQ(decoded.sampleRate, outputRate);
  }
  EXPECT_EQ(decoded.frames(), expectedFrames);

  EXPECT_NEAR(test::rmsDbfs(decoded), -9.03, 0.5);
  for (std::uint32_t ch = 0; ch < decoded.channels; ++ch) {
    EXPECT_NEAR(test::frequencyOf(decoded, ch), 1000.0, 5.0) << "channel " << ch;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Encoders, LossyRoundTrip,
    testing::Values(RoundTripCase{OutputFormat::mp3, 48000, 1, false},
                    RoundTripCase{OutputFormat::mp3, 44100, 2, true, std::nullopt, 48000},
                    RoundTripCase{OutputFormat::vorbis, 48000, 2, true, std::nullopt, 44100},
                    // Vorbis tops out near 90 kbit/s for 22 kHz stereo.
                    RoundTripCase{OutputFormat::vorbis, 22050, 2, true, 64000},
                    // Coded at 16 kHz: granule positions and pre-skip still count 48 kHz.
                    RoundTripCase{OutputFormat::opus, 16000, 2, true},
                    RoundTripCase{OutputFormat::opus, 44100, 2, false},
                    RoundTripCase{OutputFormat::opus, 48000, 2, true, std::nullopt, 44100}),
    roundTripName);

class LossyEncoder : public test::EncoderTest, public testing::WithParamInterface<OutputFormat> {
 protected:
  std::filesystem::path makeSource(double seconds, std::uint32_t channels = 2) {
    return source(48000, channels, seconds);
  }
};

std::string lossyName(const testing::TestParamInfo<OutputFormat>& info) {
  return formatName(info.param);
}

// Cancelled before the start nothing is read; cancelled at the first progress report the
// encoder stops after that chunk and leaves the partial file.
TEST_P(LossyEncoder, CancellingStopsAfterTheCurrentChunk) {
  for (const bool beforeStart : {true, false}) {
    auto request = test::makeRequest(makeSource(3.0), dir_ / (beforeStart ? "early" : "late"), GetParam());
    std::stop_source stop;
    if (beforeStart) stop.request_stop();
    request.stop = stop.get_token();
    int reports = 0;
    request.progress = [&](double) {
      ++reports;
      stop.request_stop();
    };
    const auto result = test::encode(request);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind(), ConversionError::Kind::cancelled);
    EXPECT_EQ(reports, beforeStart ? 0 : 1);
    if (!beforeStart) {
      ASSERT_TRUE(std::filesystem::exists(request.output));
      EXPECT_GT(std::filesystem::file_size(request.output), 0u);
    }
  }
}

// A disk that fills up mid-file: the child may write only 16 KiB.
TEST_P(LossyEncoder, FileSizeLimitMidFileIsNotWritable) {
  const auto request = test::makeRequest(makeSource(3.0), dir_ / "out", GetParam());
  EXPECT_EQ(test::exitCodeOnFullDisk([&] {
              const auto result = test::encode(request);
              return result ? 100 : static_cast<int>(result.error().kind());
            }),
            static_cast<int>(ConversionError::Kind::outputDirectoryNotWritable));
}

TEST_P(LossyEncoder, EmptyRangeGivesAFileWithoutAudio) {
  auto request = test::makeRequest(makeSource(0.5), dir_ / "out", GetParam());
  request.start = 4000;
  request.end = 4000;
  ASSERT_TRUE(test::encode(request).has_value());
  const auto bytes = test::readBytes(request.output);
  switch (GetParam()) {
    case OutputFormat::mp3:
      // The LAME tag frame and at most one frame of the encoder's flush.
      EXPECT_LE(test::mp3FrameBitrates(bytes).size(), 2u);
      break;
    case OutputFormat::opus:
      // The headers and a last page whose granule position ends the audio at its start.
      EXPECT_TRUE(test::oggPages(bytes).back().flags & 0x04) << "end of stream";
      EXPECT_EQ(test::decodeFile(request.output).frames(), 0);
      break;
    default:
      EXPECT_EQ(test::decodeFile(request.output).frames(), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Encoders, LossyEncoder,
                         testing::Values(OutputFormat::mp3, OutputFormat::opus,
                                         OutputFormat::vorbis),
                         lossyName);

// Opus and Vorbis comments carry the cover as a picture block that readers open.
using OggComments = LossyEncoder;

TEST_P(OggComments, CarryTheCoverAsAPictureBlock) {
  auto request = test::makeRequest(makeSource(0.5), dir_ / ("tagged." + std::string(fileExtension(GetParam()))),
                                   GetParam());
  request.metadata = test::fullMetadata();
  ASSERT_TRUE(test::encode(request).has_value());
  TagLib::FileRef file(request.output.c_str(), false);
  auto* comment = dynamic_cast<TagLib::Ogg::XiphComment*>(file.tag());
  ASSERT_NE(comment, nullptr);
  const auto pictures = comment->pictureList();
  ASSERT_EQ(pictures.size(), 1u);
  const auto data = pictures.front()->data();
  EXPECT_EQ(std::vector<std::uint8_t>(data.begin(), data.end()), *test::fullMetadata().artwork);
}

INSTANTIATE_TEST_SUITE_P(Encoders, OggComments, testing::Values(OutputFormat::opus, OutputFormat::vorbis),
                         lossyName);

}  // namespace
}  // namespace vexal
