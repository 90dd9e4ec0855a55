// Mirroring a library with vexal-cli --sync, --delete, --copy and --shard.

#include <gmock/gmock.h>

#include <fstream>
#include <set>

#include "app/library_mirror_fixture.h"
#include "persistence/library_index.h"

namespace vexal {
namespace {

namespace fs = std::filesystem;
using test::q;
using testing::HasSubstr;

using Sync = LibraryMirrorTest;

TEST_F(Sync, RerunSkipsUnchangedAndReplacesOnlyItsOwnOutputs) {
  for (const char* name : {"Disc/a", "Disc/b", "Disc/c"}) source(name, 2205);
  ASSERT_THAT(sync().out.toStdString(), HasSubstr("3 of 3 files converted successfully."));
  const fs::path a = out / "Library" / "Disc" / "a.flac";
  const fs::path b = out / "Library" / "Disc" / "b.flac";
  const auto aStamp = stampOf(a.native());

  const CliRun again = sync();
  EXPECT_EQ(again.status, 0);
  EXPECT_THAT(again.out.toStdString(),
              HasSubstr("0 of 0 files converted successfully, 3 up to date."));
  EXPECT_EQ(stampOf(a.native()), aStamp);

  // A changed source replaces its own output under the same name; an output the user
  // changed since, and a file the user put where a new source's output goes, are kept.
  source("Disc/b", 4410);
  source("Disc/c", 4410);
  source("Disc/d", 2205);
  std::ofstream(out / "Library" / "Disc" / "c.flac", std::ios::app) << "edited";
  std::ofstream(out / "Library" / "Disc" / "d.flac") << "the user's";
  EXPECT_THAT(sync().out.toStdString(),
              HasSubstr("3 of 3 files converted successfully, 1 up to date."));
  EXPECT_EQ(framesOf(b), 4410);
  EXPECT_EQ(stampOf(a.native()), aStamp);
  EXPECT_TRUE(contents(out / "Library" / "Disc" / "c.flac").ends_with("edited"));
  EXPECT_EQ(framesOf(out / "Library" / "Disc" / "c (1).flac"), 4410);
  EXPECT_EQ(contents(out / "Library" / "Disc" / "d.flac"), "the user's");
  EXPECT_EQ(framesOf(out / "Library" / "Disc" / "d (1).flac"), 2205);

  // Settings that shape the outputs convert everything again, into the same names.
  EXPECT_THAT(sync({"--sample-rate", "22050"}).out.toStdString(),
              HasSubstr("4 of 4 files converted successfully."));
  EXPECT_EQ(framesOf(b), 2205);
  EXPECT_EQ(filesBelow(out),
            (std::set<std::string>{"Library/Disc/a.flac", "Library/Disc/b.flac",
                                   "Library/Disc/c.flac", "Library/Disc/c (1).flac",
                                   "Library/Disc/d.flac", "Library/Disc/d (1).flac"}));
}

TEST_F(Sync, DeleteRemovesOnlyUnchangedOutputsOfVanishedSources) {
  for (const char* name : {"keep", "gone", "edited", "Sub/x", "Live/image"}) source(name, 4410);
  std::ofstream(lib / "Live" / "image.cue") << "TITLE \"Live\"\nFILE \"image.wav\" WAVE\n"
                                               "TRACK 01 AUDIO\nINDEX 01 00:00:00\n"
                                               "TRACK 02 AUDIO\nINDEX 01 00:00:05\n";
  ASSERT_EQ(sync().status, 0);
  ASSERT_TRUE(fs::exists(out / "Library" / "Live" / "02 Track 2.flac"));
  std::ofstream(out / "Library" / "stray.flac") << "not Vexal's";
  std::ofstream(out / "Library" / "edited.flac", std::ios::app) << "tag edit";
  for (const char* name : {"gone", "edited", "Sub/x"}) fs::remove(lib / (std::string(name) + ".wav"));
  fs::remove_all(lib / "Live");

  const CliRun result = sync({"--delete"});
  EXPECT_EQ(result.status, 0) << result.err.toStdString();
  EXPECT_THAT(result.out.toStdString(), HasSubstr("Removed 4 output(s)"));
  EXPECT_THAT(result.err.toStdString(), HasSubstr("edited.flac"));
  EXPECT_EQ(filesBelow(out), (std::set<std::string>{"Library/keep.flac", "Library/edited.flac",
                                                     "Library/stray.flac"}));
  EXPECT_FALSE(fs::exists(out / "Library" / "Sub"));
  EXPECT_FALSE(fs::exists(out / "Library" / "Live"));
}

// Each shard converts exactly the albums (folders) whose FNV-1a 64 of their library path
// falls to it, so shards on any machine split alike; together they convert each source once.
TEST_F(Sync, ShardsSplitByAlbumAndTogetherConvertEachSourceOnce) {
  for (int i = 0; i < 12; ++i) source("f" + std::to_string(i % 4) + "/" + std::to_string(i), 441);
  ASSERT_EQ(run({"--format", "flac", "--output", q(dir / "whole"), q(lib)}).status, 0);
  const auto shardOf = [](const std::string& key) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char c : key) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
    return static_cast<int>(hash % 3) + 1;
  };
  int converted = 0;
  for (int k = 1; k <= 3; ++k) {
    const CliRun shard = sync({"--shard", QStringLiteral("%1/3").arg(k), "--json"});
    ASSERT_EQ(shard.status, 0) << shard.err.toStdString();
    std::set<std::string> albums, expected;
    for (const QJsonObject& event : jsonEvents(shard.out, "finished")) {
      ++converted;
      albums.insert(fs::path(event.value("source").toString().toStdString()).parent_path().filename().string());
    }
    for (int album = 0; album < 4; ++album) {
      if (shardOf("Library/f" + std::to_string(album)) == k) expected.insert("f" + std::to_string(album));
    }
    EXPECT_EQ(albums, expected) << "shard " << k;
  }
  EXPECT_EQ(converted, 12);
  EXPECT_EQ(filesBelow(out), filesBelow(dir / "whole"));
  EXPECT_THAT(sync({"--shard", "2/3"}).out.toStdString(), HasSubstr("0 of 0 files converted"));
}

// An index that cannot be written fails the run: nothing is put in the mirror that the
// next run would not know, and the exit status says so.
TEST_F(Sync, AnIndexThatCannotBeWrittenFailsTheRun) {
  source("a", 441);
  fs::create_directories(out);
  std::ofstream(out / LibraryIndex::kFolderName) << "in the way";
  const CliRun result = sync();
  EXPECT_EQ(result.status, 1);
  EXPECT_THAT(result.err.toStdString(), HasSubstr("index"));
  EXPECT_EQ(filesBelow(out), std::set<std::string>{});
}

TEST_F(Sync, CopyBringsCompanionsWithoutReplacingOthers) {
  source("a", 441);
  for (const char* name : {"Cover.JPG", "booklet.pdf", "notes.txt", "folder.jpg"})
    std::ofstream(lib / name) << name;
  fs::create_directories(out / "Library");
  std::ofstream(out / "Library" / "folder.jpg") << "the user's own";

  const CliRun result = sync({"--copy"});
  EXPECT_EQ(result.status, 0);
  EXPECT_THAT(result.err.toStdString(), HasSubstr("folder.jpg"));
  EXPECT_EQ(contents(out / "Library" / "folder.jpg"), "the user's own");
  EXPECT_EQ(filesBelow(out), (std::set<std::string>{"Library/a.flac", "Library/Cover.JPG",
                                                     "Library/booklet.pdf", "Library/folder.jpg"}));
  fs::remove(out / "Library" / "folder.jpg");
  // Identical copies stay as they are; --quiet prints the final count alone.
  const CliRun again = sync({"--copy", "--quiet"});
  EXPECT_EQ(again.err.toStdString(), "");
  EXPECT_EQ(again.out.toStdString(), "0 of 0 files converted successfully, 1 up to date.\n");
  EXPECT_EQ(contents(out / "Library" / "folder.jpg"), "folder.jpg");
}

// A re-run as scripts see it: up-to-date files are neither converted nor failed, and a cue
// track's source is given like the folder's files, below the folder given.
TEST_F(Sync, JsonCountsUpToDateFilesApartWithSourcesAsGiven) {
  source("a", 441);
  source("Live/image", 4410);
  std::ofstream(lib / "Live" / "image.cue") << "FILE \"image.wav\" WAVE\nTRACK 01 AUDIO\n"
                                               "INDEX 01 00:00:00\nTRACK 02 AUDIO\n"
                                               "INDEX 01 00:00:05\n";
  ASSERT_EQ(sync().status, 0);
  const CliRun again = sync({"--json"});
  EXPECT_EQ(again.status, 0) << again.err.toStdString();
  const auto finished = jsonEvents(again.out, "finished");
  EXPECT_EQ(finished.size(), 3u);
  for (const QJsonObject& event : finished) {
    EXPECT_TRUE(event["upToDate"].toBool()) << event["source"].toString().toStdString();
    EXPECT_TRUE(event["source"].toString().startsWith("Library/")) << event["source"].toString().toStdString();
  }
  const auto summary = jsonEvents(again.out, "summary");
  ASSERT_EQ(summary.size(), 1u);
  EXPECT_EQ(summary[0]["upToDate"].toInt(), 3);
  EXPECT_EQ(summary[0]["failed"].toInt(), 0);
  EXPECT_EQ(summary[0]["completed"].toInt(), 0);
}

TEST_F(Sync, AlbumGainAddedAfterTheIndexKeepsTheAlbumUpToDate) {
  // Album values are written into finished outputs once both tracks are done.
  source("Live/image", 44100);
  std::ofstream(lib / "Live" / "image.cue") << "FILE \"image.wav\" WAVE\nTRACK 01 AUDIO\n"
                                               "INDEX 01 00:00:00\nTRACK 02 AUDIO\n"
                                               "INDEX 01 00:00:40\n";
  ASSERT_EQ(sync({"--replaygain"}).status, 0);
  const CliRun again = sync({"--replaygain"});
  EXPECT_THAT(again.out.toStdString(), HasSubstr("0 of 0 files converted successfully, 2 up to date."));
  const auto albumGain = [&](const char* name) { return test::tagValue(out / "Library/Live" / name, "REPLAYGAIN_ALBUM_GAIN"); };
  EXPECT_NE(albumGain("01 Track 1.flac"), "");
  EXPECT_EQ(albumGain("01 Track 1.flac"), albumGain("02 Track 2.flac"));
}

}  // namespace
}  // namespace vexal
