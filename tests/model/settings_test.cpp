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

}  // namespace
}  // namespace vexal
