#include <gtest/gtest.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>

#include <cmath>
#include <cstring>

#include "encode_test_util.h"

namespace vexal {
namespace {

class Mp3Encoder : public test::EncoderTest {
 protected:
  std::filesystem::path encode(ConversionSettings settings, const std::string& name,
                               std::optional<AudioMetadata> metadata = {}, std::filesystem::path from = {}) {
    return encodeTo(OutputFormat::mp3, from.empty() ? source(44100, 2, 2.0) : from, name, settings, metadata);
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
                    CbrCase{320000, {OutputFormat::mp3}, 320},
                    CbrCase{std::nullopt, {OutputFormat::mp3}, 320},
                    CbrCase{std::nullopt, {OutputFormat::flac, OutputFormat::mp3}, 320},
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

TEST_F(Mp3Encoder, MonoSourceIsEncodedInMonoMode) {
  const auto bytes = test::readBytes(encode({}, "mono.mp3", std::nullopt, source(44100, 1)));
  const std::size_t frame = test::id3v2Size(bytes);
  ASSERT_GT(bytes.size(), frame + 4);
  EXPECT_EQ(bytes[frame + 3] >> 6, 3) << "channel mode";
  EXPECT_EQ(test::decodeFile(dir_ / "mono.mp3").channels, 1u);
}

// Offset of the LAME extension inside the tag frame, or npos.
std::size_t lameExtension(const std::vector<unsigned char>& bytes) {
  const std::string text(bytes.begin(), bytes.begin() + std::min<std::size_t>(bytes.size(), 4096));
  const auto info = text.find("Info") != std::string::npos ? text.find("Info") : text.find("Xing");
  if (info == std::string::npos) return std::string::npos;
  return text.find("LAME", info);
}

TEST_F(Mp3Encoder, ReplayGainAnalysisLandsInTheLameTag) {
  ConversionSettings settings;
  settings.writeReplayGain = true;
  const auto with = test::readBytes(encode(settings, "rg.mp3"));
  settings.writeReplayGain = false;
  const auto without = test::readBytes(encode(settings, "plain.mp3"));
  // LAME extension: 9-byte version, method, lowpass, 4-byte peak, 2-byte radio gain.
  const auto radioGain = [](const std::vector<unsigned char>& bytes) {
    const std::size_t at = lameExtension(bytes);
    EXPECT_NE(at, std::string::npos);
    return at == std::string::npos ? 0 : (bytes[at + 15] << 8 | bytes[at + 16]);
  };
  EXPECT_NE(radioGain(with), 0);
  EXPECT_EQ(radioGain(without), 0);
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

std::string frameText(TagLib::ID3v2::Tag* tag, const char* id) {
  const auto& frames = tag->frameListMap()[id];
  return frames.isEmpty() ? std::string("<missing>") : frames.front()->toString().to8Bit(true);
}

TEST_F(Mp3Encoder, WritesEveryMappedFieldAndTheArtwork) {
  const auto metadata = test::fullMetadata();
  const auto path = encode({}, "tagged.mp3", metadata);
  TagLib::MPEG::File file(path.c_str(), false);
  ASSERT_TRUE(file.isValid());
  auto* tag = file.ID3v2Tag(false);
  ASSERT_NE(tag, nullptr);
  EXPECT_EQ(frameText(tag, "TIT2"), "Night Drive");
  EXPECT_EQ(frameText(tag, "TPE1"), "The Testers");
  EXPECT_EQ(frameText(tag, "TALB"), "Generated Signals");
  EXPECT_EQ(tag->year(), 1997u);
  EXPECT_EQ(frameText(tag, "TCON"), "Electronic");
  EXPECT_EQ(frameText(tag, "TRCK"), "3/12");
  EXPECT_EQ(frameText(tag, "TCOM"), "A. Composer");
  EXPECT_EQ(frameText(tag, "TPE2"), "Various Testers");
  EXPECT_EQ(frameText(tag, "TPOS"), "2");
  const auto& pictures = tag->frameListMap()["APIC"];
  ASSERT_EQ(pictures.size(), 1u);
  const auto* picture = dynamic_cast<TagLib::ID3v2::AttachedPictureFrame*>(pictures.front());
  ASSERT_NE(picture, nullptr);
  const auto data = picture->picture();
  EXPECT_EQ(std::vector<std::uint8_t>(data.begin(), data.end()), *metadata.artwork);
  // The tag sits in front of the audio, which still decodes to the full length.
  EXPECT_EQ(test::decodeFile(path).frames(), 88200);
}

TEST_F(Mp3Encoder, NonAsciiTextSurvives) {
  AudioMetadata metadata;
  metadata.title = "Café ünïcode ✓ 𝄞";
  metadata.artist = "Björk";
  metadata.album = "";  // empty texts are skipped
  metadata.trackNumber = 3;
  const auto path = encode({}, "utf8.mp3", metadata);
  TagLib::MPEG::File file(path.c_str(), false);
  auto* tag = file.ID3v2Tag(false);
  ASSERT_NE(tag, nullptr);
  EXPECT_EQ(frameText(tag, "TIT2"), "Café ünïcode ✓ 𝄞");
  EXPECT_EQ(frameText(tag, "TPE1"), "Björk");
  EXPECT_EQ(frameText(tag, "TALB"), "<missing>");
  EXPECT_EQ(frameText(tag, "TRCK"), "3");
}

TEST_F(Mp3Encoder, ExistingFileIsReplaced) {
  const auto path = test::writeAudio(dir_.path(), "again", test::sine(8000, 1, 20.0, 100, -20), test::InputKind::wav16);
  std::filesystem::rename(path, dir_ / "again.mp3");
  const auto before = std::filesystem::file_size(dir_ / "again.mp3");
  const auto written = encode({}, "again.mp3", std::nullopt, source(44100, 2, 0.5));
  EXPECT_LT(std::filesystem::file_size(written), before);
  EXPECT_FALSE(test::mp3FrameBitrates(test::readBytes(written)).empty());
}

}  // namespace
}  // namespace vexal
