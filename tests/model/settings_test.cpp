#include <gtest/gtest.h>

#include "model/conversion_job.h"
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

TEST(ConversionJob, EqualProgressDoesNotNotifyButStatusAlwaysDoes) {
  ConversionJob job("/a/b.flac", "b");
  int notifications = 0;
  job.addObserver([&](const ConversionJob&, ConversionJob::Field) { ++notifications; });
  job.setProgress(0.0);
  EXPECT_EQ(notifications, 0);
  job.setProgress(0.5);
  job.setOutputURL(OutputFormat::flac, "/o/b.flac");
  job.setOutputURL(OutputFormat::flac, "/o/b.flac");
  EXPECT_EQ(notifications, 2);
  job.setStatus(ConversionStatus::pending());
  EXPECT_EQ(notifications, 3);
}

}  // namespace
}  // namespace vexal
