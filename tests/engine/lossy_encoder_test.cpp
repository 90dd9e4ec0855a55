// Behaviour every lossy encoder shares: exact length of the encoded range, rate and
// channels and tone survival (through the conversion entry), progress, write failures
// and MP3's bitrates.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>

#include "encode_test_util.h"

namespace vexal {
namespace {

using test::TempDir;

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
  return std::string(rawValue(c.format)) + "_" + std::to_string(c.rate) + "_" + std::to_string(c.channels) +
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

  ConversionSettings settings;
  settings.enabledFormats = {c.format};
  settings.customBitrate = c.bitrate;
  settings.customSampleRate = c.outputRate;
  const auto output = dir / "out";
  std::optional<std::int64_t> start, end;
  if (c.ranged) {
    start = 1234;
    end = 1234 + c.rate * 3 / 2 + 17;
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
  // A range converts to the same duration at any output rate; Opus codes these at 48 kHz,
  // read straight from the source, and decodes at 48 kHz.
  const double outputRate = c.format == OutputFormat::opus ? 48000 : c.outputRate.value_or(c.rate);
  EXPECT_EQ(decoded.sampleRate, outputRate);
  EXPECT_EQ(decoded.frames(), std::llround(static_cast<double>(end.value_or(c.rate * 2) - start.value_or(0)) *
                                           outputRate / c.rate));

  if (c.bitrate) {
    // The asked rate reaches the encoder: well under the size at the format's default.
    settings.customBitrate.reset();
    ASSERT_TRUE(AudioProcessor::convert(source, dir / "default", c.format, settings, start, end, {}));
    EXPECT_LT(std::filesystem::file_size(output), std::filesystem::file_size(dir / "default") * 8 / 10);
  }
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
                    RoundTripCase{OutputFormat::opus, 16000, 2, true, 48000},
                    RoundTripCase{OutputFormat::opus, 44100, 2, false},
                    RoundTripCase{OutputFormat::opus, 48000, 2, true, std::nullopt, 44100}),
    roundTripName);

class Mp3Encoder : public testing::Test {
 protected:
  // Converts `source` (by default 2 s of music-like stereo) to dir / name.
  std::filesystem::path encode(ConversionSettings settings, const std::string& name,
                               std::filesystem::path source = {}) {
    if (source.empty()) {
      source = test::writeAudio(dir_.path(), "music", test::musicLike(44100, 2, 2.0), test::InputKind::wav16);
    }
    if (settings.enabledFormats.empty()) settings.enabledFormats = {OutputFormat::mp3};
    const auto result = AudioProcessor::convert(source, dir_ / name, OutputFormat::mp3, settings, {}, {}, {});
    EXPECT_TRUE(result) << result.error().errorDescription();
    return dir_ / name;
  }
  TempDir dir_;
};

struct CbrCase {
  std::optional<std::int64_t> customBitrate;
  std::set<OutputFormat> enabled;
  int kbps;
};

class Mp3Cbr : public Mp3Encoder, public testing::WithParamInterface<CbrCase> {};

// Every frame, the LAME tag frame included, carries exactly the requested bitrate.
TEST_P(Mp3Cbr, EveryFrameHasTheBitrate) {
  ConversionSettings settings;
  settings.customBitrate = GetParam().customBitrate;
  settings.enabledFormats = GetParam().enabled;
  const auto bitrates = test::mp3FrameBitrates(test::readBytes(encode(settings, "cbr.mp3")));
  ASSERT_GT(bitrates.size(), 50u);
  for (const int kbps : bitrates) ASSERT_EQ(kbps, GetParam().kbps);
}

// Without a custom bitrate MP3 keeps its own default, whatever else is enabled.
INSTANTIATE_TEST_SUITE_P(
    Bitrates, Mp3Cbr,
    testing::Values(CbrCase{128000, {OutputFormat::mp3}, 128},
                    CbrCase{std::nullopt, {OutputFormat::aac, OutputFormat::mp3}, 320},
                    CbrCase{192500, {OutputFormat::opus, OutputFormat::mp3}, 192}));

// VBR quality scales the size; the LAME tag frame (Xing for VBR) lets readers trim delay
// and padding exactly.
TEST_F(Mp3Encoder, VbrQualitiesScaleTheSizeAndDecodeToTheExactLength) {
  ConversionSettings settings;
  settings.bitrateMode = BitrateMode::vbr;
  std::vector<std::vector<unsigned char>> files;
  for (const auto quality : {VBRQuality::v0, VBRQuality::v2, VBRQuality::v8}) {
    settings.vbrQuality = quality;
    const auto path = encode(settings, "v" + std::to_string(rawValue(quality)) + ".mp3");
    const auto decoded = test::decodeFile(path);  // V8 is coded at a lower rate
    EXPECT_EQ(decoded.frames(), std::llround(2.0 * decoded.sampleRate)) << path;
    files.push_back(test::readBytes(path));
  }
  EXPECT_GT(files[0].size(), files[2].size() * 2);
  const auto bitrates = test::mp3FrameBitrates(files[1]);
  EXPECT_GT(std::set<int>(bitrates.begin(), bitrates.end()).size(), 1u);
  EXPECT_NE(std::string(files[1].begin(), files[1].begin() + 200).find("Xing"), std::string::npos);
}

}  // namespace
}  // namespace vexal
