#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "model/conversion_settings.h"

namespace vexal {
namespace {

// Choosing one format's bitrate leaves the others: a shared bitrate becomes per-format
// entries, and "Default" for one format falls back to that format's own default.
TEST(ConversionSettings, EachLossyFormatKeepsItsOwnBitrate) {
  ConversionSettings settings;
  settings.enabledFormats = {OutputFormat::mp3, OutputFormat::opus, OutputFormat::flac};
  settings.setBitrate(OutputFormat::mp3, 192000);
  EXPECT_EQ(settings.bitrateFor(OutputFormat::mp3), 192000);
  EXPECT_EQ(settings.bitrateFor(OutputFormat::opus), 128000);
  EXPECT_EQ(settings.chosenBitrate(OutputFormat::opus), std::nullopt);

  settings.formatBitrates.clear();
  settings.customBitrate = 96000;
  settings.setBitrate(OutputFormat::opus, std::nullopt);
  EXPECT_EQ(settings.customBitrate, std::nullopt);
  EXPECT_EQ(settings.bitrateFor(OutputFormat::opus), 128000);
  EXPECT_EQ(settings.bitrateFor(OutputFormat::mp3), 96000);
  EXPECT_EQ(settings.bitrateFor(OutputFormat::vorbis), 96000);
  EXPECT_EQ(settings.effectiveBitrate(), 0);  // FLAC sorts first
}

// A choice changes the fingerprint of the outputs it shapes and of no other, so a mirror
// converts exactly those again; the defaults keep the fingerprint indexes already hold.
TEST(OutputFingerprint, ChangesOnlyWhereAChoiceShapesTheOutput) {
  EXPECT_EQ(outputFingerprint(ConversionSettings{}, OutputFormat::flac), "0b31209e8998be08");
  const std::set<OutputFormat> lossless = {OutputFormat::wav, OutputFormat::aiff, OutputFormat::flac,
                                           OutputFormat::alac};
  const std::set<OutputFormat> all(kAllOutputFormats.begin(), kAllOutputFormats.end());
  struct Case {
    std::function<void(ConversionSettings&)> base;
    std::function<void(ConversionSettings&)> change;
    std::set<OutputFormat> shaped;
  };
  const auto nothing = [](ConversionSettings&) {};
  const auto normalising = [](ConversionSettings& s) { s.normalizationMode = NormalizationMode::lufs; };
  const auto replayGain = [](ConversionSettings& s) { s.writeReplayGain = true; };
  const Case cases[] = {
      {nothing, [](ConversionSettings& s) { s.bitDepth = BitDepth::int16; }, lossless},
      {nothing, [](ConversionSettings& s) { s.truePeakLimiter = true; }, {}},
      {normalising, [](ConversionSettings& s) { s.truePeakLimiter = true; }, all},
      {nothing, [](ConversionSettings& s) { s.truePeakCeiling = -2.0; }, {}},
      {normalising, [](ConversionSettings& s) { s.truePeakCeiling = -2.0; }, all},
      {nothing, [](ConversionSettings& s) { s.albumByFolder = true; }, {}},
      {replayGain, [](ConversionSettings& s) { s.albumByFolder = true; }, all},
      {nothing, [](ConversionSettings& s) { s.coverMaxSize = 500; }, all},
      {nothing, [](ConversionSettings& s) { s.frontCoverOnly = true; }, all},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    ConversionSettings before;
    cases[i].base(before);
    ConversionSettings after = before;
    cases[i].change(after);
    for (const OutputFormat format : kAllOutputFormats) {
      EXPECT_EQ(outputFingerprint(before, format) != outputFingerprint(after, format),
                cases[i].shaped.contains(format))
          << "case " << i << ", " << rawValue(format);
    }
  }
}

}  // namespace
}  // namespace vexal
