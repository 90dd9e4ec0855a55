#include <gtest/gtest.h>

#include "model/conversion_error.h"
#include "model/conversion_job.h"
#include "model/conversion_settings.h"

namespace vexal {
namespace {

TEST(ConversionSettings, PrimaryFormatAndEffectiveBitrateFollowRawValueOrder) {
  ConversionSettings settings;
  EXPECT_EQ(settings.primaryFormat(), OutputFormat::aac);
  EXPECT_EQ(settings.effectiveBitrate(), 256000);
  settings.enabledFormats = {OutputFormat::flac};
  EXPECT_EQ(settings.effectiveBitrate(), 0);
  settings.enabledFormats = {OutputFormat::wav, OutputFormat::mp3};
  EXPECT_EQ(settings.primaryFormat(), OutputFormat::mp3);
  settings.enabledFormats = {OutputFormat::opus, OutputFormat::vorbis, OutputFormat::flac};
  EXPECT_EQ(settings.primaryFormat(), OutputFormat::flac);
  EXPECT_EQ(settings.bitrateFor(OutputFormat::vorbis), 192000);
  settings.customBitrate = 160500;
  EXPECT_EQ(settings.effectiveBitrate(), 160500);
  EXPECT_EQ(settings.bitrateFor(OutputFormat::opus), 160500);
}

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

TEST(OutputFormat, RawValuesAreExact) {
  EXPECT_EQ(outputFormatFromRaw("vorbis"), OutputFormat::vorbis);
  EXPECT_EQ(outputFormatFromRaw("ogg"), std::nullopt);
  EXPECT_EQ(outputFormatFromRaw("MP3"), std::nullopt);
  EXPECT_EQ(outputFormatFromRaw("mp3 "), std::nullopt);
  EXPECT_EQ(vbrQualityFromRaw(3), std::nullopt);
  EXPECT_EQ(vbrQualityFromRaw(10), std::nullopt);
  EXPECT_EQ(vbrQualityFromRaw(8), VBRQuality::v8);
  EXPECT_EQ(aacStrategyFromRaw(4), std::nullopt);
}

TEST(ConversionError, Descriptions) {
  EXPECT_EQ(ConversionError::extAudioFileError("Create destination", -50).errorDescription(),
            "Create destination failed (OSStatus -50)");
  EXPECT_EQ(ConversionError::fileNotReadable("/a/b/My Song.flac").errorDescription(),
            "Cannot read file: My Song.flac");
  EXPECT_EQ(ConversionStatus::failed(ConversionError::cancelled()).text(), "Cancelled");
  EXPECT_NE(ConversionStatus::failed(ConversionError::cancelled()), ConversionStatus::cancelled());
}

TEST(ConversionJob, EqualProgressDoesNotNotifyButStatusAlwaysDoes) {
  ConversionJob job("/a/b.flac", "b");
  ConversionJob other("/a/b.flac", "b");
  EXPECT_NE(job.id(), other.id());
  int notifications = 0;
  job.addObserver([&](const ConversionJob&, ConversionJob::Field) { ++notifications; });
  job.setProgress(0.0);
  EXPECT_EQ(notifications, 0);
  job.setProgress(0.5);
  EXPECT_EQ(notifications, 1);
  job.setOutputURL(OutputFormat::flac, "/o/b.flac");
  job.setOutputURL(OutputFormat::flac, "/o/b.flac");
  EXPECT_EQ(notifications, 2);
  job.setStatus(ConversionStatus::pending());
  EXPECT_EQ(notifications, 3);
}

TEST(AudioMetadata, HasContentLooksAtFiveFields) {
  AudioMetadata tags;
  tags.genre = "Rock";
  tags.year = 1999;
  EXPECT_FALSE(tags.hasContent());
  AudioMetadata art;
  art.artwork = std::vector<std::uint8_t>{1};
  EXPECT_TRUE(art.hasContent());
}

}  // namespace
}  // namespace vexal
