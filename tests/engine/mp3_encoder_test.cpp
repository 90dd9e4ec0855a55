#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "encode_test_util.h"

namespace vexal {
namespace {

class Mp3Encoder : public test::EncoderTest {
 protected:
  std::filesystem::path encode(ConversionSettings settings, const std::string& name) {
    return encodeTo(OutputFormat::mp3, source(44100, 2, 2.0), name, settings);
  }
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

TEST_F(Mp3Encoder, GainClipsAtFullScaleBeforeEncoding) {
  // Peak 0.6 (−4.4 dBFS), four times louder than full scale after the gain.
  const auto loud = test::writeAudio(dir_.path(), "loud", test::sine(44100, 1, 1.0, 1000, -4.437), test::InputKind::wav16);
  auto request = test::makeRequest(loud, dir_ / "loud.mp3", OutputFormat::mp3);
  request.gain = 4.0;
  ASSERT_TRUE(encodeMP3(request).has_value());
  // A clipped sine is nearly square: RMS close to full scale (a pure sine is −3 dB).
  EXPECT_GT(test::rmsDbfs(test::decodeFile(request.output)), -1.5);
}

}  // namespace
}  // namespace vexal
