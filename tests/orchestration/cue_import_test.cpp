#include <gmock/gmock.h>

#include <fstream>

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

CueTrack track(std::int64_t number, double start, std::optional<QString> title = std::nullopt,
               std::optional<QString> performer = std::nullopt) {
  return CueTrack{number, std::move(title), std::move(performer), start};
}

TEST(CueTrackJobs, FrameRangesNamesAndTags) {
  CueSheet sheet;
  sheet.audioFileName = "album.flac";
  sheet.albumPerformer = "X";
  sheet.tracks = {track(1, 0.0, "Intro", "Y"), track(3, 185.5), track(12, 402.0, "Coda")};
  const auto jobs = makeCueTrackJobs(sheet, "/m/album.flac", "Live", 44100.0, 20'000'000);
  ASSERT_EQ(jobs.size(), 3u);
  const std::vector<std::pair<std::int64_t, std::int64_t>> ranges = {
      {0, 8'180'550}, {8'180'550, 17'728'200}, {17'728'200, 20'000'000}};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(jobs[i]->startFrame(), ranges[i].first);
    EXPECT_EQ(jobs[i]->endFrame(), ranges[i].second);
    EXPECT_EQ(jobs[i]->sourceURL(), fs::path("/m/album.flac"));
    EXPECT_EQ(jobs[i]->outputSubdirectory(), "Live");  // no album title: the cue file's name
    EXPECT_EQ(jobs[i]->fileName(), jobs[i]->trackTitle());
    EXPECT_EQ(jobs[i]->metadata()->trackTotal, 3);
    EXPECT_EQ(jobs[i]->metadata()->albumArtist, "X");
  }
  EXPECT_EQ(jobs[0]->fileName(), "01 Intro");
  EXPECT_EQ(jobs[1]->fileName(), "03 Track 3");
  EXPECT_EQ(jobs[2]->fileName(), "12 Coda");
  EXPECT_EQ(jobs[0]->metadata()->artist, "Y");
  EXPECT_EQ(jobs[1]->metadata()->artist, "X");  // no performer of its own
  EXPECT_EQ(jobs[1]->metadata()->title, std::nullopt);
  EXPECT_EQ(jobs[2]->metadata()->trackNumber, 12);

  sheet.albumTitle = "AC/DC Live";
  EXPECT_EQ(makeCueTrackJobs(sheet, "/m/album.flac", "Live", 44100.0, 1)[0]->outputSubdirectory(),
            "AC_DC Live");
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

// A sheet over a real 3-second WAV file: the frame ranges come from the file's own info.
TEST_F(Import, CueSheetOverRealAudioFile) {
  fs::create_directories(dir / "cd");
  test::writeWav(dir / "cd" / "album.wav", 132'300, 44100, 2);
  std::ofstream(dir / "cd" / "album.cue")
      << "PERFORMER \"X\"\nTITLE \"Album X\"\nFILE \"album.wav\" WAVE\n"
         "  TRACK 01 AUDIO\n    TITLE \"Intro\"\n    INDEX 01 00:00:00\n"
         "  TRACK 02 AUDIO\n    INDEX 01 00:02:00\n";
  model.importCueSheet(q(dir / "cd" / "album.cue"));
  ASSERT_EQ(model.jobs().size(), 2u);
  EXPECT_EQ(model.jobs()[0]->endFrame(), 88'200);
  EXPECT_EQ(model.jobs()[1]->startFrame(), 88'200);
  EXPECT_EQ(model.jobs()[1]->endFrame(), 132'300);
  EXPECT_EQ(model.jobs()[1]->fileName(), "02 Track 2");
  EXPECT_EQ(model.jobs()[0]->outputSubdirectory(), "Album X");

  // Cue imports are not checked for duplicates; whole-file jobs are.
  model.importCueSheet(q(dir / "cd" / "album.cue"));
  model.addFiles({q(dir / "cd" / "album.wav")});
  model.addFiles({q(dir / "cd" / "album.wav")});
  EXPECT_EQ(model.jobs().size(), 5u);
}

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

TEST_F(Import, FolderAcceptsImagesDsdAndOtherContainers) {
  fs::create_directories(dir / "Mixed");
  const std::vector<std::string> extensions = {"ape", "WV",   "tta", "m4b", "mka", "webm",
                                               "dsf", "DFF",  "mpc", "oga", "aifc"};
  for (const auto& extension : extensions) std::ofstream(dir / "Mixed" / ("x." + extension)) << "";
  std::ofstream(dir / "Mixed" / "x.m3u") << "";
  model.importURLs({q(dir / "Mixed")});
  EXPECT_EQ(model.jobs().size(), extensions.size());
}

}  // namespace
}  // namespace vexal
