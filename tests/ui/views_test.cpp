#include <QSignalSpy>
#include <algorithm>
#include <cmath>
#include <fstream>

#include "persistence/conversion_history.h"
#include "ui/history_view.h"
#include "ui/launcher_entry.h"
#include "ui/metadata_panel.h"
#include "ui/waveform_view.h"
#include "ui_test_support.h"

namespace vexal::test {
namespace {

using ui::loadWaveformPeaks;

class WaveformTest : public ::testing::Test {
 protected:
  TempDir temp_;
};

TEST_F(WaveformTest, ShortFileGivesOneBarPerFrame) {
  ASSERT_TRUE(writeGenerated(temp_ / "short.wav", "sine=frequency=440", 199));
  const auto peaks = loadWaveformPeaks(temp_ / "short.wav");
  EXPECT_EQ(peaks.size(), 199u);
  ASSERT_TRUE(writeGenerated(temp_ / "one.wav", "sine=frequency=440", 1));
  EXPECT_EQ(loadWaveformPeaks(temp_ / "one.wav").size(), 1u);
}

TEST_F(WaveformTest, SilentFileGivesTwoHundredZeroBars) {
  ASSERT_TRUE(writeGenerated(temp_ / "silence.flac", "anullsrc", 44100));
  const auto peaks = loadWaveformPeaks(temp_ / "silence.flac");
  ASSERT_EQ(peaks.size(), 200u);
  for (float peak : peaks) EXPECT_EQ(peak, 0.0f);
}

TEST_F(WaveformTest, ClippedSamplesAreCappedAtOne) {
  // A float WAV at 4× full scale.
  writeAudio(temp_.path(), "loud",
             Signal{44100, 1, 22050, [](std::int64_t frame, std::uint32_t) {
                      return static_cast<float>(4.0 * std::sin(2.0 * M_PI * 440.0 * frame / 44100.0));
                    }},
             InputKind::wavFloat);
  const auto peaks = loadWaveformPeaks(temp_ / "loud.wav");
  ASSERT_EQ(peaks.size(), 200u);
  for (float peak : peaks) EXPECT_LE(peak, 1.0f);
  EXPECT_EQ(*std::max_element(peaks.begin(), peaks.end()), 1.0f);
}

TEST_F(WaveformTest, UnreadableFilesGiveNoBars) {
  EXPECT_TRUE(loadWaveformPeaks(temp_ / "missing.flac").empty());
  std::ofstream(temp_ / "text.mp3") << "not audio at all";
  EXPECT_TRUE(loadWaveformPeaks(temp_ / "text.mp3").empty());
  std::ofstream(temp_ / "empty.wav");
  EXPECT_TRUE(loadWaveformPeaks(temp_ / "empty.wav").empty());
}

TEST_F(WaveformTest, ViewLoadsInTheBackground) {
  ASSERT_TRUE(writeTone(temp_ / "tone.flac", 1.0));
  ui::WaveformView view;
  QSignalSpy loaded(&view, &ui::WaveformView::loaded);
  view.setUrl(QString::fromStdString((temp_ / "tone.flac").string()));
  EXPECT_TRUE(view.isLoading());
  ASSERT_TRUE(loaded.wait(10000));
  EXPECT_FALSE(view.isLoading());
  ASSERT_EQ(view.samples().size(), 200u);
  // ffmpeg's sine source is at 1/8 full scale, less the mono-to-stereo pan.
  EXPECT_GT(view.samples()[100], 0.05f);
  EXPECT_LT(view.samples()[100], 0.15f);
}

TEST(MetadataRows, TrackShowsTotalAndRowsKeepTheirOrder) {
  AudioMetadata tags;
  tags.title = "Song";
  tags.artist = "Band";
  tags.album = "Record";
  tags.albumArtist = "Band";
  tags.composer = "Writer";
  tags.genre = "Rock";
  tags.year = 1999;
  tags.trackNumber = 3;
  tags.trackTotal = 12;
  tags.discNumber = 1;
  const auto rows = ui::metadataRows(tags, QString("3:07"), QString("FLAC"));
  QStringList labels;
  for (const auto& row : rows) labels << row.first;
  EXPECT_EQ(labels, (QStringList{"Format", "Title", "Artist", "Duration", "Album", "Album artist",
                                 "Composer", "Genre", "Year", "Track", "Disc"}));
  EXPECT_EQ(rows[9].second, "3  of  12");
  tags.trackTotal.reset();
  EXPECT_EQ(ui::metadataRows(tags, std::nullopt, std::nullopt)[8].second, "3");
}

TEST(MetadataRows, FormatIsAlwaysShown) {
  const auto rows = ui::metadataRows(std::nullopt, std::nullopt, std::nullopt);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], std::make_pair(QString("Format"), QString("Unknown")));
}

TEST(DurationText, TruncatesToWholeSeconds) {
  EXPECT_EQ(ui::durationText(59.9), "0:59");
  EXPECT_EQ(ui::durationText(187.4), "3:07");
  EXPECT_EQ(ui::durationText(0), "0:00");
  EXPECT_EQ(ui::durationText(3600 + 5), "60:05");
}

TEST(HistoryText, SizesNeedBothValues) {
  ConversionHistoryEntry entry;
  entry.fileSizeBefore = 12'400'000;
  EXPECT_FALSE(ui::historySizeText(entry).has_value());
  entry.fileSizeAfter = 3'100'000;
  const QLocale locale;
  EXPECT_EQ(ui::historySizeText(entry),
            locale.formattedDataSize(12'400'000, 1, QLocale::DataSizeSIFormat) + " -> " +
                locale.formattedDataSize(3'100'000, 1, QLocale::DataSizeSIFormat));
  entry.fileSizeBefore.reset();
  EXPECT_FALSE(ui::historySizeText(entry).has_value());
}

TEST(HistoryText, DatesReadRelativeToNow) {
  const QDateTime now(QDate(2026, 12, 6), QTime(12, 0));
  EXPECT_EQ(ui::relativeDateText(now.addSecs(-20), now), "just now");
  EXPECT_EQ(ui::relativeDateText(now.addSecs(-5 * 60), now), "5 minutes ago");
  EXPECT_EQ(ui::relativeDateText(now.addSecs(-3600), now), "1 hour ago");
  EXPECT_EQ(ui::relativeDateText(now.addDays(-1), now), "yesterday");
  EXPECT_EQ(ui::relativeDateText(now.addDays(-3), now), "3 days ago");
}

// The properties themselves are checked on a private bus (LauncherEntryBus).
TEST(LauncherEntry, BadgeShowsWholePercent) {
  EXPECT_EQ(ui::badgeText(0.375), "37%");
  EXPECT_EQ(ui::badgeText(1.0), "100%");
}

}  // namespace
}  // namespace vexal::test
