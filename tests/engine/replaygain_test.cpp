#include <gtest/gtest.h>
#include <taglib/fileref.h>
#include <taglib/mp4file.h>
#include <taglib/mpegfile.h>
#include <taglib/textidentificationframe.h>
#include <taglib/tpropertymap.h>

#include <cmath>
#include <regex>

#include "engine/audio_processor.h"
#include "engine/loudness.h"
#include "metadata/metadata_service.h"
#include "support/loudness_oracle.h"

namespace vexal {
namespace {

// A field as players look it up: Vorbis comment, ID3v2 TXXX by description, or MP4
// freeform iTunes item under the lower-case name.
std::string gainField(const std::filesystem::path& path, std::string name) {
  TagLib::FileRef ref(path.c_str());
  if (auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(ref.file())) {
    auto* frame = TagLib::ID3v2::UserTextIdentificationFrame::find(mpeg->ID3v2Tag(), name);
    return frame && frame->fieldList().size() > 1 ? frame->fieldList()[1].to8Bit(true) : "";
  }
  if (auto* mp4 = dynamic_cast<TagLib::MP4::File*>(ref.file())) {
    for (auto& c : name) c = static_cast<char>(std::tolower(c));
    const auto item = mp4->tag()->item("----:com.apple.iTunes:" + name);
    return item.isValid() ? item.toStringList().front().to8Bit(true) : "";
  }
  return ref.file()->properties()[name].toString().to8Bit(true);
}

class ReplayGainTags : public testing::TestWithParam<OutputFormat> {};

// A stereo 1 kHz tone at -18 dBFS reads -18 LUFS: ReplayGain 0 dB, R128 -5 dB.
TEST_P(ReplayGainTags, TrackValuesOfAMinus18LufsTone) {
  const auto format = GetParam();
  test::TempDir dir;
  const double rate = format == OutputFormat::opus ? 48000 : 44100;
  const auto source = test::writeAudio(dir.path(), "tone", test::sine(rate, 2, 0.8, 1000, -18), test::InputKind::wav16);
  const auto output = dir / ("out." + std::string(fileExtension(format)));
  ConversionSettings settings;
  settings.enabledFormats = {format};
  settings.writeReplayGain = true;
  AudioMetadata tags;
  tags.title = "Tone";
  ASSERT_TRUE(AudioProcessor::convert(source, output, format, settings, {}, {}, {}, {}, &tags));
  const double measured = test::ebur128Loudness(output);
  EXPECT_EQ(MetadataService::readMetadata(output).title, "Tone");  // other tags kept
  EXPECT_EQ(gainField(output, "REPLAYGAIN_ALBUM_GAIN"), "");
  if (format == OutputFormat::opus) {
    const auto r128 = gainField(output, "R128_TRACK_GAIN");
    ASSERT_TRUE(std::regex_match(r128, std::regex("-?[0-9]+"))) << r128;
    EXPECT_NEAR(std::stoi(r128) / 256.0, -23.0 - measured, 0.1);
    EXPECT_EQ(gainField(output, "REPLAYGAIN_TRACK_GAIN"), "");
    const std::string bytes = test::readText(output);
    EXPECT_EQ(bytes.substr(bytes.find("OpusHead") + 16, 2), std::string(2, '\0'));  // output gain
    return;
  }
  const auto gain = gainField(output, "REPLAYGAIN_TRACK_GAIN");
  const auto peak = gainField(output, "REPLAYGAIN_TRACK_PEAK");
  ASSERT_TRUE(std::regex_match(gain, std::regex("-?[0-9]+\\.[0-9]{2} dB"))) << gain;
  EXPECT_NEAR(std::stod(gain), 0.0, 0.1);
  EXPECT_NEAR(std::stod(gain), -18.0 - measured, 0.1);
  ASSERT_TRUE(std::regex_match(peak, std::regex("[0-9]\\.[0-9]{6}"))) << peak;
  // The sample peak of what plays: a lossy codec's decoded peak, not the source's.
  EXPECT_NEAR(std::stod(peak), std::pow(10.0, test::peakDbfs(test::decodeFile(output)) / 20.0), 1e-6);
}

std::string formatName(const testing::TestParamInfo<OutputFormat>& info) { return std::string(rawValue(info.param)); }

INSTANTIATE_TEST_SUITE_P(Formats, ReplayGainTags,
                         testing::Values(OutputFormat::flac, OutputFormat::alac, OutputFormat::aac, OutputFormat::mp3,
                                         OutputFormat::vorbis, OutputFormat::opus),
                         formatName);

// Track gain as the file plays. At 64 kbit/s each codec drops treble of white noise
// that K-weighting counts, so the source's loudness would be wrong by tenths of a dB;
// the decode that measured it is handed on for verification.
class DecodedGain : public testing::TestWithParam<OutputFormat> {};

TEST_P(DecodedGain, LossyGainAndPeakOfTheDecodedOutput) {
  const auto format = GetParam();
  test::TempDir dir;
  const double rate = format == OutputFormat::opus ? 48000 : 44100;
  const auto source = test::writeAudio(dir.path(), "noise", test::noise(rate, 2, 3.0, -10), test::InputKind::wav16);
  const auto output = dir / ("out." + std::string(fileExtension(format)));
  ConversionSettings settings;
  settings.enabledFormats = {format};
  settings.writeReplayGain = true;
  settings.setBitrate(format, 64000);
  ConversionTally tally;
  ASSERT_TRUE(AudioProcessor::convert(source, output, format, settings, {}, {}, {}, {}, nullptr, &tally));
  const double played = test::ebur128Loudness(output);
  ASSERT_GT(std::fabs(played - test::ebur128Loudness(source)), 0.3);  // the codec did change it
  if (format == OutputFormat::opus) {
    EXPECT_NEAR(std::stoi(gainField(output, "R128_TRACK_GAIN")) / 256.0, -23.0 - played, 0.1);
  } else {
    EXPECT_NEAR(std::stod(gainField(output, "REPLAYGAIN_TRACK_GAIN")), -18.0 - played, 0.1);
    EXPECT_NEAR(std::stod(gainField(output, "REPLAYGAIN_TRACK_PEAK")),
                std::pow(10.0, test::peakDbfs(test::decodeFile(output)) / 20.0), 1e-6);
  }
  ASSERT_TRUE(tally.decoded);
  EXPECT_TRUE(tally.decoded->decodable);
  EXPECT_EQ(tally.decoded->frames, test::decodeFile(output).frames());
}

INSTANTIATE_TEST_SUITE_P(At64k, DecodedGain,
                         testing::Values(OutputFormat::aac, OutputFormat::mp3, OutputFormat::vorbis, OutputFormat::opus),
                         formatName);

}  // namespace
}  // namespace vexal
