#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "persistence/index_journal.h"
#include "persistence/library_index.h"
#include "support/test_support.h"

namespace vexal {
namespace {

namespace fs = std::filesystem;

LibraryIndexEntry entry(const std::string& output, const std::string& source) {
  LibraryIndexEntry made;
  made.output = output;
  made.source = source;
  made.format = "flac";
  made.sourceStamp = {10, 1'700'000'000'123'456'789};
  made.fingerprint = "f00d";
  made.outputStamp = {5, 7};
  made.identity = 0xfedcba9876543210ULL;
  return made;
}

std::set<std::string> outputsOf(const LibraryIndex& index) {
  std::set<std::string> outputs;
  for (const auto& [output, recorded] : index.entries()) outputs.insert(output);
  return outputs;
}

std::vector<fs::path> journalsIn(const fs::path& destination) {
  std::vector<fs::path> files;
  for (const auto& file : fs::directory_iterator(destination / LibraryIndex::kFolderName)) {
    const std::string name = file.path().filename().string();
    if (!name.starts_with('.') && !name.ends_with(".lock")) files.push_back(file.path());
  }
  return files;
}

void append(const fs::path& file, const std::string& bytes) {
  std::ofstream(file, std::ios::app | std::ios::binary) << bytes;
}

// Writers that never saw each other each keep their records, readable as soon as
// `record` returns; non-UTF-8 names, tabs, newlines and nanosecond times survive.
TEST(LibraryIndex, WritersMergeAndEveryRecordIsDurableAtOnce) {
  test::TempDir dir;
  LibraryIndex first(dir.path().native()), second(dir.path().native());
  ASSERT_TRUE(first.load());
  ASSERT_TRUE(second.load());
  ASSERT_TRUE(first.record(entry("A/1.flac", "A/1.wav")));
  ASSERT_TRUE(first.record(entry("A/2.flac", "A/2.wav")));
  ASSERT_TRUE(second.record(entry("B/caf\xe9\t\n%.flac", "B/caf\xe9.wav")));
  ASSERT_TRUE(first.forget("A/2.flac"));

  LibraryIndex reread(dir.path().native());
  const auto report = reread.load();
  ASSERT_TRUE(report);
  EXPECT_EQ(report->damaged, 0);
  EXPECT_EQ(outputsOf(reread), (std::set<std::string>{"A/1.flac", "B/caf\xe9\t\n%.flac"}));
  const LibraryIndexEntry* latin1 = reread.current({"B/caf\xe9.wav", std::nullopt, std::nullopt, "flac"});
  ASSERT_NE(latin1, nullptr);
  EXPECT_EQ(*latin1, entry("B/caf\xe9\t\n%.flac", "B/caf\xe9.wav"));
  // A cue track (keyed by its number) is another source than the file of the same path.
  EXPECT_EQ(reread.current({"A/1.wav", std::nullopt, 1, "flac"}), nullptr);
}

// An update interrupted between recording the new output and removing the old one
// leaves both recorded: the newer is current, the older is returned for removal.
TEST(LibraryIndex, TheNewestOutputOfASourceIsCurrentTheOthersRetired) {
  test::TempDir dir;
  LibraryIndex index(dir.path().native());
  ASSERT_TRUE(index.load());
  ASSERT_TRUE(index.record(entry("Old name.flac", "a.wav")));
  ASSERT_TRUE(index.record(entry("New name.flac", "a.wav")));
  LibraryIndex reread(dir.path().native());
  ASSERT_TRUE(reread.load());
  const SourceKey key{"a.wav", std::nullopt, std::nullopt, "flac"};
  ASSERT_NE(reread.current(key), nullptr);
  EXPECT_EQ(reread.current(key)->output, "New name.flac");
  ASSERT_EQ(reread.retired(key).size(), 1u);
  EXPECT_EQ(reread.retired(key).front()->output, "Old name.flac");
}

// The index is a file anyone can edit: lines that are damaged, cut short, of the wrong
// types or naming paths outside the destination cost only themselves.
TEST(LibraryIndex, HostileAndDamagedRecordsAreIgnoredOneByOne) {
  test::TempDir dir;
  {
    LibraryIndex index(dir.path().native());
    ASSERT_TRUE(index.load());
    ASSERT_TRUE(index.record(entry("keep.flac", "keep.wav")));
  }
  const fs::path journal = journalsIn(dir.path()).front();
  const auto put = [](const std::string& output, const std::string& size = "5") {
    JournalRecord record{99, 'P', {output, "x.wav", "", "", "flac", "1", "2", "f", size, "7", "", "", "", ""}};
    return encodeRecord(record);
  };
  std::string hostile = put("../outside.flac") + put("/etc/passwd") + put("a/./b.flac") +
                        put("a//b.flac") + put("sub/../../x.flac") + put("ok.flac", "five");
  std::string flipped = put("flipped.flac");
  flipped[3] ^= 1;  // a bit turned: its hash no longer matches
  hostile += flipped + std::string(2 << 20, 'x') + "\n" + put("also kept.flac") + put("torn.flac");
  hostile.pop_back();  // the last line lost its end: a write cut short
  append(journal, hostile);

  LibraryIndex index(dir.path().native());
  const auto report = index.load();
  ASSERT_TRUE(report);
  EXPECT_EQ(outputsOf(index), (std::set<std::string>{"keep.flac", "also kept.flac"}));
  EXPECT_EQ(report->ignored, 5);
  EXPECT_EQ(report->damaged, 4);  // wrong type, flipped bit, huge line, torn end
}

// Indexes of earlier versions are one JSON file: read once, folded into the journals;
// a damaged one is set aside (not lost) and costs its entries only.
TEST(LibraryIndex, EarlierJsonIndexIsTakenOverOnce) {
  test::TempDir dir;
  std::ofstream(dir / LibraryIndex::kLegacyFileName)
      << R"({"version":1,"entries":[{"output":"a.flac","source":"L/a.wav","format":"flac",)"
         R"("sourceSize":1,"sourceMtimeNs":"1700000000123456789","fingerprint":"f","outputSize":5,)"
         R"("outputMtimeNs":"7"},{"output":"b.flac"},{"output64":"Y+kuZmxhYw==","source":"L/c.wav",)"
         R"("start":44100,"format":"mp3","sourceSize":1,"sourceMtimeNs":"2","fingerprint":"f",)"
         R"("outputSize":1,"outputMtimeNs":"3"}]})";
  LibraryIndex index(dir.path().native());
  const auto report = index.load();
  ASSERT_TRUE(report);
  EXPECT_EQ(report->damaged, 1);
  EXPECT_EQ(outputsOf(index), (std::set<std::string>{"a.flac", "c\xe9.flac"}));
  EXPECT_EQ(index.at("a.flac")->sourceStamp.mtimeNs, 1'700'000'000'123'456'789);
  EXPECT_NE(index.current({"L/c.wav", 44100, std::nullopt, "mp3"}), nullptr);
  EXPECT_FALSE(fs::exists(dir / LibraryIndex::kLegacyFileName));
  LibraryIndex again(dir.path().native());
  ASSERT_TRUE(again.load());
  EXPECT_EQ(outputsOf(again), outputsOf(index));

  test::TempDir damaged;
  std::ofstream(damaged / LibraryIndex::kLegacyFileName) << "{not json";
  LibraryIndex fresh(damaged.path().native());
  ASSERT_TRUE(fresh.load());
  EXPECT_TRUE(fresh.entries().empty());
  bool keptAside = false;
  for (const auto& file : fs::directory_iterator(damaged.path()))
    keptAside |= file.path().filename().string().ends_with(".corrupt");
  EXPECT_TRUE(keptAside);
}

// A load folds finished journals into one snapshot of the same content, leaves a live
// journal alone, and a record forgotten in any journal stays forgotten.
TEST(LibraryIndex, FinishedJournalsFoldIntoOneSnapshot) {
  test::TempDir dir;
  for (int run = 0; run < 20; ++run) {
    LibraryIndex index(dir.path().native());
    ASSERT_TRUE(index.load(LibraryIndex::Access::readOnly));
    ASSERT_TRUE(index.record(entry("f" + std::to_string(run) + ".flac", std::to_string(run) + ".wav")));
    if (run == 5) {
      ASSERT_TRUE(index.forget("f2.flac"));
    }
  }
  LibraryIndex live(dir.path().native());
  ASSERT_TRUE(live.load(LibraryIndex::Access::readOnly));
  ASSERT_TRUE(live.record(entry("live.flac", "live.wav")));
  ASSERT_EQ(journalsIn(dir.path()).size(), 21u);

  LibraryIndex folding(dir.path().native());
  ASSERT_TRUE(folding.load());
  const std::set<std::string> before = outputsOf(folding);
  EXPECT_EQ(before.size(), 20u);  // 20 runs, one forgotten, one live
  EXPECT_FALSE(before.contains("f2.flac"));
  EXPECT_EQ(journalsIn(dir.path()).size(), 2u);  // the snapshot and the live journal
  ASSERT_TRUE(live.record(entry("later.flac", "later.wav")));

  LibraryIndex after(dir.path().native());
  ASSERT_TRUE(after.load());
  std::set<std::string> expected = before;
  expected.insert("later.flac");
  EXPECT_EQ(outputsOf(after), expected);
}

}  // namespace
}  // namespace vexal
