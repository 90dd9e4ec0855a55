#include <gtest/gtest.h>

#include <fstream>

#include "persistence/library_index.h"
#include "support/test_support.h"

namespace vexal {
namespace {

LibraryIndexEntry entry(const std::string& output, const std::string& source) {
  return {output, source, std::nullopt, "flac", {10, 1'700'000'000'123'456'789}, "f00d", {5, 7}};
}

// Two writers of one destination (shards on two machines) each keep what the other saved;
// names that are not UTF-8 and nanosecond times survive the file.
TEST(LibraryIndex, SavesMergeWithOtherWritersAndKeepEveryByte) {
  test::TempDir dir;
  LibraryIndex first(dir.path().native()), second(dir.path().native());
  first.load();
  second.load();
  first.record(entry("A/1.flac", "A/1.wav"));
  first.record(entry("A/2.flac", "A/2.wav"));
  second.record(entry("B/caf\xe9.flac", "B/caf\xe9.wav"));
  ASSERT_TRUE(first.save());
  ASSERT_TRUE(second.save());
  first.forget("A/2.flac");
  ASSERT_TRUE(first.save());

  LibraryIndex reread(dir.path().native());
  reread.load();
  ASSERT_EQ(reread.entries().size(), 2u);
  const LibraryIndexEntry* latin1 = reread.find("B/caf\xe9.wav", std::nullopt, "flac");
  ASSERT_NE(latin1, nullptr);
  EXPECT_EQ(*latin1, entry("B/caf\xe9.flac", "B/caf\xe9.wav"));
  EXPECT_NE(reread.find("A/1.wav", std::nullopt, "flac"), nullptr);
  EXPECT_EQ(reread.find("A/1.wav", 0, "flac"), nullptr);  // a cue track is another source

  // A damaged file is set aside, not overwritten by the next save.
  std::ofstream(dir / LibraryIndex::kFileName) << "{not json";
  reread.load();
  EXPECT_TRUE(reread.entries().empty());
  EXPECT_FALSE(std::filesystem::exists(dir / LibraryIndex::kFileName));
}

}  // namespace
}  // namespace vexal
