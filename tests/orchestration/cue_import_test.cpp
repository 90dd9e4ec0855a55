#include <gmock/gmock.h>

#include <fstream>

#include "engine/encode_test_util.h"
#include "metadata/metadata_service.h"
#include "orchestration/converter_view_model.h"
#include "orchestration_helpers.h"
#include "platform/logging.h"
#include "sources/cue_sheet.h"
#include "support/test_support.h"

namespace vexal {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

using test::q;
using test::storesIn;

using Range = std::pair<std::int64_t, std::int64_t>;

std::vector<Range> ranges(const std::vector<ConverterViewModel::JobPtr>& jobs) {
  std::vector<Range> result;
  for (const auto& job : jobs) result.emplace_back(job->startFrame().value(), job->endFrame().value());
  return result;
}

class Import : public testing::Test {
 protected:
  TempDir dir;
  ConverterViewModel model{storesIn(dir.path())};

  std::vector<std::string> names() const {
    std::vector<std::string> result;
    for (const auto& job : model.jobs()) result.push_back(job->fileName());
    return result;
  }
};

TEST_F(Import, CueSheetWithMissingAudioLogsAndAddsNothing) {
  std::vector<std::string> messages;
  auto previous = platform::setLogSink(
      [&](platform::LogCategory category, platform::LogLevel level, std::string_view message) {
        if (category == platform::LogCategory::conversion && level == platform::LogLevel::error) {
          messages.emplace_back(message);
        }
      });
  std::ofstream(dir / "gone.cue") << "FILE \"gone.flac\" WAVE\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n";
  std::ofstream(dir / "empty.cue") << "REM nothing\n";
  model.importCueSheet(q(dir / "gone.cue"));
  model.importCueSheet(q(dir / "empty.cue"));
  platform::setLogSink(previous);
  EXPECT_TRUE(model.jobs().empty());
  EXPECT_THAT(messages,
              testing::ElementsAre("Cue sheet parse failed: Audio file not found: gone.flac",
                                   "Cue sheet parse failed: Cue sheet has no FILE reference"));
}

// Real files through the real engine, in a short-lived batch.
class CueBatch : public Import {
 protected:
  void run(std::set<OutputFormat> formats) {
    ConversionSettings settings = model.settings();
    settings.enabledFormats = std::move(formats);
    model.setSettings(settings);
    model.startConversion();
    ASSERT_TRUE(test::waitForBatch(model));
  }
};

// Two files under one sheet (the second named as its uncompressed original), pregaps at
// a file's start and end: the lossless tracks, end to end, are both files bit for bit.
TEST_F(CueBatch, TracksOfSeveralFilesConcatenateToTheFiles) {
  const auto one = test::writeAudio(dir.path(), "one", test::noise(44100, 2, 0.4, -3, 7), test::InputKind::wav16);
  const auto two = test::writeAudio(dir.path(), "two", test::sine(44100, 2, 0.3, 1000, -1), test::InputKind::flac16);
  std::ofstream(dir / "cd.cue") << "TITLE \"Split\"\r\nFILE \"one.wav\" WAVE\r\n"
                                   "  TRACK 01 AUDIO\r\n    INDEX 00 00:00:00\r\n    INDEX 01 00:00:02\r\n"
                                   "  TRACK 02 AUDIO\r\n    INDEX 01 00:00:10\r\n"
                                   "  TRACK 03 AUDIO\r\n    INDEX 00 00:00:20\r\n"
                                   "FILE \"two.wav\" WAVE\r\n    INDEX 01 00:00:00\r\n"
                                   "  TRACK 04 AUDIO\r\n    INDEX 00 00:00:05\r\n    INDEX 01 00:00:08\r\n";
  model.importCueSheet(q(dir / "cd.cue"));
  ASSERT_EQ(model.jobs().size(), 4u);
  EXPECT_EQ(ranges(model.jobs()), (std::vector<Range>{{0, 5880}, {5880, 17640}, {0, 4704}, {4704, 13230}}));
  EXPECT_EQ(model.jobs()[3]->sourceURL(), two);

  run({OutputFormat::flac, OutputFormat::wav});
  std::vector<float> expected = test::decodeFile(one).samples;
  const auto second = test::decodeFile(two).samples;
  expected.insert(expected.end(), second.begin(), second.end());
  for (const auto format : {OutputFormat::flac, OutputFormat::wav}) {
    std::vector<float> joined;
    for (const auto& job : model.jobs()) {
      ASSERT_EQ(job->status(), ConversionStatus::completed()) << job->fileName();
      const auto track = test::decodeFile(job->outputURLs().at(format));
      EXPECT_GT(track.frames(), 0);
      joined.insert(joined.end(), track.samples.begin(), track.samples.end());
    }
    EXPECT_TRUE(joined == expected) << fileExtension(format);
  }
}

TEST_F(CueBatch, AnEmptyTrackFailsItsJobAlone) {
  test::writeWav(dir / "a.wav", 8820, 44100, 1);
  std::ofstream(dir / "a.cue") << "FILE a.wav WAVE\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n"
                                  "TRACK 02 AUDIO\nINDEX 01 00:00:05\nTRACK 03 AUDIO\nINDEX 01 00:00:05\n";
  model.importCueSheet(q(dir / "a.cue"));
  std::vector<std::pair<int, int>> finished;
  QObject::connect(&model, &ConverterViewModel::batchFinished,
                   [&](int completed, int total) { finished.emplace_back(completed, total); });
  run({OutputFormat::wav});
  ASSERT_EQ(model.jobs().size(), 3u);
  EXPECT_EQ(model.jobs()[1]->status().kind(), ConversionStatus::Kind::failed);
  EXPECT_THAT(model.jobs()[1]->status().error()->errorDescription(), testing::HasSubstr("Empty track"));
  EXPECT_TRUE(model.jobs()[1]->outputURLs().empty());
  EXPECT_EQ(model.jobs()[2]->status(), ConversionStatus::completed());
  EXPECT_THAT(finished, testing::ElementsAre(std::pair{2, 3}));
}

// Every track in every format carries its own title, performer and number, the sheet's
// album facts, the image's album-level properties (not its track id) and its pictures.
TEST_F(CueBatch, EveryFormatGetsEachTracksTags) {
  const auto image = test::writeAudio(dir.path(), "image", test::sine(48000, 2, 0.4, 440, -6),
                                      test::InputKind::flac16);
  AudioMetadata imageTags;
  imageTags.title = "Image Title";
  imageTags.artist = "Image Artist";
  imageTags.album = "Image Album";
  imageTags.trackNumber = 1;
  imageTags.genre = "Image Genre";
  imageTags.year = 1990;
  imageTags.discNumber = 1;
  imageTags.artwork = test::fullMetadata().artwork;
  imageTags.pictures = {TagPicture{4, "Back", test::jpegImage()}};
  imageTags.properties = {{"LABEL", {"Test Records"}},
                          {"MUSICBRAINZ_ALBUMID", {"0a1b2c3d-0000-4000-8000-000000000002"}},
                          {"MUSICBRAINZ_TRACKID", {"0a1b2c3d-0000-4000-8000-000000000001"}}};
  ASSERT_FALSE(MetadataService::writeToFlac(imageTags, image));
  std::ofstream(dir / "image.cue") << "REM DATE 2004-05-17\nREM DISCNUMBER 2\nPERFORMER \"Sheet Band\"\n"
                                      "FILE \"image.wav\" WAVE\n"
                                      "TRACK 01 AUDIO\nTITLE \"First\"\nPERFORMER \"Guest\"\nINDEX 01 00:00:00\n"
                                      "TRACK 02 AUDIO\nTITLE \"Second\"\nINDEX 01 00:00:15\n";
  model.importCueSheet(q(dir / "image.cue"));
  const std::set<OutputFormat> formats = {OutputFormat::aac,  OutputFormat::alac, OutputFormat::flac,
                                          OutputFormat::mp3,  OutputFormat::opus, OutputFormat::vorbis};
  run(formats);
  ASSERT_EQ(model.jobs().size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    const auto& job = *model.jobs()[i];
    ASSERT_EQ(job.status(), ConversionStatus::completed());
    AudioMetadata expected = imageTags;
    expected.title = i == 0 ? "First" : "Second";
    expected.artist = i == 0 ? "Guest" : "Sheet Band";
    expected.albumArtist = "Sheet Band";
    expected.trackNumber = static_cast<std::int64_t>(i + 1);
    expected.trackTotal = 2;
    expected.discNumber = 2;
    expected.year = 2004;
    expected.properties.erase("MUSICBRAINZ_TRACKID");
    for (const auto format : formats) {
      AudioMetadata want = expected;
      if (format == OutputFormat::aac || format == OutputFormat::alac) want.pictures.clear();  // the cover only
      EXPECT_EQ(MetadataService::readMetadata(job.outputURLs().at(format)), want)
          << job.fileName() << " " << displayName(format);
    }
  }
}

TEST_F(Import, FolderWithCueSheetContributesOnlyTheSheet) {
  fs::create_directories(dir / "Album");
  test::writeWav(dir / "Album" / "album.wav", 4410, 44100, 1);
  std::ofstream(dir / "Album" / "album.cue")
      << "FILE \"album.wav\" WAVE\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n";
  std::ofstream(dir / "Album" / "cover.jpg") << "jpeg";
  fs::create_directories(dir / "Album" / "Bonus");
  std::ofstream(dir / "Album" / "Bonus" / "extra.flac") << "";
  model.importURLs({q(dir / "Album")});
  ASSERT_EQ(model.jobs().size(), 2u);
  EXPECT_EQ(model.jobs()[0]->fileName(), "01 Track 1");
  EXPECT_TRUE(model.jobs()[0]->startFrame().has_value());
  // A sibling folder without a sheet still contributes its audio.
  EXPECT_EQ(model.jobs()[1]->fileName(), "extra");
  EXPECT_EQ(model.jobs()[1]->outputSubdirectory(), "Album/Bonus");
}

TEST_F(Import, FolderAddsAcceptedFilesCaseInsensitivelyKeepingStructure) {
  fs::create_directories(dir / "Drop" / "Artist" / "Album");
  fs::create_directories(dir / "Drop" / ".hidden");
  for (const auto* name : {"Drop/a.MP3", "Drop/b.txt", "Drop/.c.flac", "Drop/Artist/Album/01.flac",
                           "Drop/Artist/Album/02.wma", "Drop/.hidden/x.flac"}) {
    std::ofstream(dir / name) << "";
  }
  std::ofstream(dir / "loose.alac") << "";
  std::ofstream(dir / "notes.txt") << "";
  int inserted = 0;
  QObject::connect(&model, &ConverterViewModel::jobsInserted, [&](int, int) { ++inserted; });
  model.importURLs({q(dir / "Drop"), q(dir / "loose.alac"), q(dir / "notes.txt"),
                    q(dir / "missing.flac"), q(dir / "x.cue")});
  EXPECT_THAT(names(), testing::ElementsAre("a", "01", "02", "loose"));
  EXPECT_EQ(model.jobs()[0]->outputSubdirectory(), "Drop");
  EXPECT_EQ(model.jobs()[1]->outputSubdirectory(), "Drop/Artist/Album");
  EXPECT_EQ(model.jobs()[3]->outputSubdirectory(), std::nullopt);
  EXPECT_EQ(inserted, 1);

  // Dropping the same folder again adds nothing.
  model.importURLs({q(dir / "Drop")});
  EXPECT_EQ(model.jobs().size(), 4u);
}

}  // namespace
}  // namespace vexal
