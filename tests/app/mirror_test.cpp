// A mirror over a library meeting hostile indexes, retagged outputs, killed and parallel
// runs and edited cue sheets: nothing outside the destination, no duplicate, convergence.

#include <gmock/gmock.h>

#include <fstream>
#include <map>
#include <random>
#include <set>
#include <tuple>

#include "app/library_mirror_fixture.h"
#include "metadata/metadata_service.h"
#include "persistence/index_journal.h"
#include "persistence/library_index.h"

namespace vexal {
namespace {

namespace fs = std::filesystem;
using test::q;
using testing::HasSubstr;

class Mirror : public LibraryMirrorTest {
 protected:
  // Every file below `root`, hidden ones included, with its size and modification time.
  static std::map<std::string, std::pair<std::uintmax_t, fs::file_time_type>> snapshot(const fs::path& root) {
    std::map<std::string, std::pair<std::uintmax_t, fs::file_time_type>> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      if (entry.is_regular_file())
        files[fs::relative(entry.path(), root).string()] = {entry.file_size(), entry.last_write_time()};
    }
    return files;
  }
  static void copyTree(const fs::path& from, const fs::path& to) {
    ASSERT_EQ(QProcess::execute("cp", {"-a", q(from), q(to)}), 0);  // times kept
  }
  static std::string journalLine(const std::string& output, const std::string& source,
                                 const FileStamp& stamp) {
    return encodeRecord({1, 'P', {output, source, "", "", "flac", "1", "2", "f", std::to_string(stamp.size),
                                  std::to_string(stamp.mtimeNs), "", "", "", ""}});
  }
  static std::vector<std::tuple<std::string, std::string, std::string, std::string>> actionsIn(const QString& out) {
    std::vector<std::tuple<std::string, std::string, std::string, std::string>> actions;
    for (const QJsonObject& event : jsonEvents(out, "action")) {
      actions.emplace_back(event.value("action").toString().toStdString(),
                           event.value("reason").toString().toStdString(),
                           event.value("source").toString().toStdString(),
                           event.value("output").toString().toStdString());
    }
    std::ranges::sort(actions);
    return actions;
  }
};

// An edited index aims at the user's files through "..", an absolute path, a link and a
// folder: none is touched, and the damaged lines around them cost nothing else.
TEST_F(Mirror, HostileIndexActsOnNothingOutsideTheDestination) {
  for (const char* name : {"Disc/a", "Disc/b"}) source(name);
  ASSERT_EQ(sync().status, 0);
  const fs::path victims = dir / "originals";
  fs::create_directories(victims);
  for (const char* name : {"v1.flac", "v2.flac", "v3.flac"}) fs::copy_file(out / "Library/Disc/a.flac", victims / name);
  fs::create_directory_symlink(victims, out / "Library" / "link");
  fs::create_directories(out / "Library" / "folder");
  const auto stamp = [&](const char* name) { return *stampOf((victims / name).native()); };
  std::ofstream journal(out / LibraryIndex::kFolderName / "0000000000000001-1-00000000-00000000.log",
                        std::ios::binary);
  journal << "#vexal-index 1\n"
          << journalLine("../originals/v1.flac", "Library/Disc/gone1.wav", stamp("v1.flac"))
          << journalLine((victims / "v2.flac").native(), "Library/Disc/gone2.wav", stamp("v2.flac"))
          << journalLine("Library/link/v3.flac", "Library/Disc/gone3.wav", stamp("v3.flac"))
          << journalLine("Library/folder", "Library/Disc/gone4.wav", {4096, 1})
          << std::string(3 << 20, 'x') << "\n"
          << "1\tP\tLibrary/Disc/x.flac\tnot\tthe\tright\tfields\t0000000000000000\n";
  journal.close();

  const CliRun result = sync({"--delete"});
  EXPECT_EQ(result.status, 0) << result.err.toStdString();
  // One bad entry costs itself: the real ones still say the outputs are up to date.
  EXPECT_THAT(result.out.toStdString(), HasSubstr("0 of 0 files converted successfully, 2 up to date."));
  EXPECT_THAT(result.err.toStdString(), HasSubstr("ignored 2 index entries"));
  for (const char* name : {"v1.flac", "v2.flac", "v3.flac"}) EXPECT_TRUE(fs::exists(victims / name)) << name;
  EXPECT_TRUE(fs::is_symlink(out / "Library" / "link"));
  EXPECT_TRUE(fs::is_directory(out / "Library" / "folder"));
}

// "--output out/" as shell completion types it: the index holds paths below the mirror,
// so a copy of the mirror elsewhere is a mirror of its own.
TEST_F(Mirror, MirrorCopiedElsewhereSyncsOnItsOwn) {
  for (const char* name : {"a", "b"}) source(name);
  ASSERT_EQ(run({"--sync", "--format", "flac", "--output", q(out) + "/", "Library"}).status, 0);
  copyTree(out, dir / "copy");
  const auto original = stampOf((out / "Library/a.flac").native());
  source("a", 8820);
  const CliRun copied = run({"--sync", "--format", "flac", "--output", q(dir / "copy") + "/./", "Library"});
  EXPECT_THAT(copied.out.toStdString(), HasSubstr("1 of 1 file converted successfully, 1 up to date."));
  EXPECT_EQ(framesOf(dir / "copy/Library/a.flac"), 8820);
  EXPECT_EQ(filesBelow(dir / "copy"), filesBelow(out));
  EXPECT_EQ(stampOf((out / "Library/a.flac").native()), original);
}

// A gain scanner or a tagger run over the mirror changes every output's tags: they stay
// Vexal's, up to date, and a changed source replaces its output instead of doubling it.
TEST_F(Mirror, RetaggedOutputsStayUpToDateAndAreReplacedNotDuplicated) {
  for (const char* name : {"a", "b"}) source(name);
  const QString formats = "flac,mp3,opus,aac";
  ASSERT_EQ(sync({}, formats).status, 0);
  const auto converted = filesBelow(out);
  ASSERT_EQ(converted.size(), 8u);
  for (const std::string& file : converted) {
    const OutputFormat format = *outputFormatFromRaw(fs::path(file).extension() == ".m4a" ? "aac"
                                                     : fs::path(file).extension() == ".ogg" ? "opus"
                                                                                            : fs::path(file).extension().string().substr(1));
    ASSERT_FALSE(MetadataService::writeReplayGain({GainMeasure{-20, 0.5}, std::nullopt}, format, out / file))
        << file;
  }
  EXPECT_THAT(sync({}, formats).out.toStdString(), HasSubstr("0 of 0 files converted successfully, 2 up to date."));
  source("a", 8820);
  EXPECT_THAT(sync({}, formats).out.toStdString(), HasSubstr("1 of 1 file converted successfully, 1 up to date."));
  EXPECT_EQ(filesBelow(out), converted);
  EXPECT_EQ(framesOf(out / "Library/a.flac"), 8820);
}

// An output the user deleted is made again; one whose index was lost is adopted where
// it lies, not converted again beside itself.
TEST_F(Mirror, MissingOutputsAreRecreatedAndALostIndexAdoptsWhatIsThere) {
  for (const char* name : {"a", "b"}) source(name);
  ASSERT_EQ(sync({}, "flac,mp3").status, 0);
  const auto converted = filesBelow(out);
  fs::remove(out / "Library/a.flac");
  EXPECT_THAT(sync({}, "flac,mp3").out.toStdString(), HasSubstr("1 of 1 file converted successfully, 1 up to date."));
  EXPECT_EQ(filesBelow(out), converted);

  fs::remove_all(out / LibraryIndex::kFolderName);
  const CliRun adopted = sync({}, "flac,mp3");
  EXPECT_EQ(adopted.status, 0) << adopted.err.toStdString();
  EXPECT_THAT(adopted.out.toStdString(), HasSubstr("Adopted 4 existing output(s)"));
  EXPECT_EQ(filesBelow(out), converted);
  EXPECT_THAT(sync({}, "flac,mp3").out.toStdString(), HasSubstr("0 of 0 files converted successfully, 2 up to date."));
}

// A run killed at any step of an update, then run again, leaves exactly what an
// uninterrupted run leaves.
TEST_F(Mirror, KilledAtAnyStepOfAnUpdateConverges) {
  for (const char* name : {"a", "b", "c"}) source(name);
  std::ofstream(lib / "cover.jpg") << "cover";
  ASSERT_EQ(sync({"--copy"}).status, 0);
  copyTree(lib, dir / "lib0");
  copyTree(out, dir / "out0");
  const auto update = [&] {
    fs::remove_all(lib);
    fs::remove_all(out);
    copyTree(dir / "lib0", lib);
    copyTree(dir / "out0", out);
    source("a", 8820);
    source("b", 2205);
    fs::remove(lib / "c.wav");
    std::ofstream(lib / "cover.jpg") << "a new cover";
  };
  const auto state = [&] {
    std::map<std::string, std::string> files;
    for (const std::string& file : filesBelow(out)) {
      files[file] = file.ends_with(".flac") ? std::to_string(framesOf(out / file)) : contents(out / file);
    }
    return files;
  };
  update();
  ASSERT_EQ(sync({"--delete", "--copy"}).status, 0);
  const auto expected = state();
  ASSERT_EQ(expected.size(), 3u);

  std::mt19937 random(20261207);
  std::uniform_int_distribution<int> point(1, 24);
  for (int round = 0; round < 5; ++round) {
    const int killAt = point(random);
    update();
    extraEnvironment = {{"VEXAL_FAULT_KILL", QString::number(killAt)}};
    sync({"--delete", "--copy"});
    extraEnvironment.clear();
    const CliRun after = sync({"--delete", "--copy"});
    EXPECT_EQ(after.status, 0) << "killed at " << killAt << ": " << after.err.toStdString();
    EXPECT_EQ(state(), expected) << "killed at " << killAt;
  }
}

// Two runs into one destination at once: the second waits for the first and finds
// everything done.
TEST_F(Mirror, RunsAtOnceWriteOneOutputPerSourceAndFormat) {
  for (int i = 0; i < 6; ++i) source("Disc/" + std::to_string(i));
  const QStringList arguments{"--sync", "--format", "flac,wav", "--output", q(out), "Library"};
  auto first = launch(arguments);
  auto second = launch(arguments);
  const CliRun one = finish(*first), two = finish(*second);
  EXPECT_EQ(one.status, 0) << one.err.toStdString();
  EXPECT_EQ(two.status, 0) << two.err.toStdString();
  EXPECT_EQ(filesBelow(out).size(), 12u);
}

// A destination inside the library, or a library in the Music folder mirrored there,
// never takes its own outputs for sources.
TEST_F(Mirror, DestinationInsideTheSourcesStaysStable) {
  for (const char* name : {"A/1", "A/2"}) source(name);
  for (int runs = 0; runs < 3; ++runs) {
    ASSERT_EQ(run({"--sync", "--format", "flac", "--output", "Library/conv", "Library"}).status, 0);
    EXPECT_EQ(filesBelow(lib).size(), 4u) << "run " << runs;
  }
  const fs::path music = dir / "home" / "Music";
  fs::create_directories(music / "Album");
  test::writeWav(music / "Album" / "1.wav", 441);
  for (int runs = 0; runs < 3; ++runs) {
    ASSERT_EQ(run({"--sync", "--format", "flac", q(music)}).status, 0);
    EXPECT_EQ(filesBelow(music).size(), 2u) << "run " << runs;
  }
}

// An edited cue sheet re-splits what changed: lengths and names follow it and a track
// it no longer lists goes with --delete. Albums keep their folder.
TEST_F(Mirror, EditedCueSheetIsFollowed) {
  source("Live/image", 3 * 44100);
  const auto sheet = [&](const std::string& tracks) {
    std::ofstream(lib / "Live" / "image.cue") << "TITLE \"Live\"\nFILE \"image.wav\" WAVE\n" << tracks;
  };
  sheet("TRACK 01 AUDIO\nTITLE \"A\"\nINDEX 01 00:00:00\nTRACK 02 AUDIO\nTITLE \"B\"\nINDEX 01 00:01:00\n"
        "TRACK 03 AUDIO\nTITLE \"C\"\nINDEX 01 00:02:00\n");
  ASSERT_EQ(sync({"--delete"}).status, 0);
  EXPECT_EQ(filesBelow(out), (std::set<std::string>{"Library/Live/01 A.flac", "Library/Live/02 B.flac",
                                                     "Library/Live/03 C.flac"}));
  sheet("TRACK 01 AUDIO\nTITLE \"A2\"\nINDEX 01 00:00:00\nTRACK 02 AUDIO\nTITLE \"B\"\nINDEX 01 00:02:00\n");
  const CliRun edited = sync({"--delete"});
  EXPECT_EQ(edited.status, 0) << edited.err.toStdString();
  EXPECT_EQ(filesBelow(out), (std::set<std::string>{"Library/Live/01 A2.flac", "Library/Live/02 B.flac"}));
  EXPECT_EQ(framesOf(out / "Library/Live/01 A2.flac"), 2 * 44100);
  EXPECT_EQ(framesOf(out / "Library/Live/02 B.flac"), 44100);
}

// A dry run writes nothing, not even into the index, and lists exactly what the real run
// then does, with the reason for each.
TEST_F(Mirror, DryRunChangesNothingAndListsWhatTheRunDoes) {
  for (const char* name : {"a", "b", "c"}) source(name);
  std::ofstream(lib / "cover.jpg") << "cover";
  ASSERT_EQ(sync({"--copy"}).status, 0);
  source("a", 8820);
  source("d");
  source("New/e");
  fs::remove(lib / "c.wav");
  std::ofstream(lib / "cover.jpg") << "a new cover";
  std::ofstream(lib / "booklet.pdf") << "booklet";
  const auto before = snapshot(dir.path());

  const CliRun dry = sync({"--delete", "--copy", "--dry-run", "--json"});
  EXPECT_EQ(dry.status, 0) << dry.err.toStdString();
  EXPECT_EQ(snapshot(dir.path()), before);
  EXPECT_FALSE(fs::exists(out / "Library" / "New"));
  const auto planned = actionsIn(dry.out);
  const std::string o = out.native() + "/Library/";
  EXPECT_EQ(planned, (decltype(planned){
                         {"convert", "new", "Library/New/e.wav", o + "New/e.flac"},
                         {"convert", "new", "Library/d.wav", o + "d.flac"},
                         {"copy", "new", "Library/booklet.pdf", o + "booklet.pdf"},
                         {"delete", "orphan", "Library/c.wav", o + "c.flac"},
                         {"replace", "source changed", "Library/a.wav", o + "a.flac"},
                         {"update", "source changed", "Library/cover.jpg", o + "cover.jpg"}}));
  EXPECT_EQ(actionsIn(sync({"--delete", "--copy", "--json"}).out), planned);
}

// Shards at once into one folder (a flat template): a shard's sweep leaves the others'
// live temporaries alone, so every job completes.
TEST_F(Mirror, ShardsAtOnceInOneFolderAllComplete) {
  for (int i = 0; i < 12; ++i) source("Album " + std::to_string(i) + "/" + std::to_string(i), 4 * 44100);
  const auto shard = [&](int k) {
    return launch({"--sync", "--format", "mp3", "--template", "{format}/{filename}", "--output", q(out),
                   "--shard", QStringLiteral("%1/3").arg(k), "Library"});
  };
  std::vector<std::unique_ptr<QProcess>> shards;
  shards.push_back(shard(1));
  const auto writing = [&] {
    std::error_code error;
    for (const auto& file : fs::directory_iterator(out / "MP3", error))
      if (file.path().filename().string().starts_with(".vexal-part-")) return true;
    return false;
  };
  for (int wait = 0; wait < 5000 && !writing(); ++wait) QThread::msleep(1);
  shards.push_back(shard(2));
  shards.push_back(shard(3));
  for (auto& process : shards) {
    const CliRun result = finish(*process);
    EXPECT_EQ(result.status, 0) << result.err.toStdString();
    // Side by side: shards of one split never wait for each other.
    EXPECT_FALSE(result.err.contains("waiting for another run")) << result.err.toStdString();
  }
  EXPECT_EQ(filesBelow(out / "MP3").size(), 12u);
}

}  // namespace
}  // namespace vexal
