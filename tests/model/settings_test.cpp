#include <gtest/gtest.h>

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

// The cover options shape the output, so they change its fingerprint; left at their
// defaults they keep the fingerprint outputs had before the options existed, so no
// mirrored library is converted again for them.
TEST(ConversionSettings, CoverOptionsEnterTheFingerprintOnlyWhenChosen) {
  const ConversionSettings plain;
  EXPECT_EQ(outputFingerprint(plain, OutputFormat::flac), "0b31209e8998be08");
  ConversionSettings sized = plain;
  sized.coverMaxSize = 500;
  ConversionSettings frontOnly = plain;
  frontOnly.frontCoverOnly = true;
  const std::set<std::string> fingerprints = {outputFingerprint(plain, OutputFormat::flac),
                                              outputFingerprint(sized, OutputFormat::flac),
                                              outputFingerprint(frontOnly, OutputFormat::flac)};
  EXPECT_EQ(fingerprints.size(), 3u);
}

}  // namespace
}  // namespace vexal
