#include <gtest/gtest.h>

#include <fstream>

#include "orchestration/mirror_store.h"
#include "orchestration/output_files.h"
#include "support/test_support.h"

namespace vexal {
namespace {

namespace fs = std::filesystem;

// A file is put in place only once its entry is durable: an index that cannot take the
// record leaves nothing under the planned name that the next run would not know.
TEST(MirrorStore, NothingIsPutInPlaceWhenItsRecordCannotBeWritten) {
  test::TempDir dest;
  MirrorStore store(dest.path(), false);
  ASSERT_TRUE(store.open(0, 1, {}, {}));
  fs::rename(dest / LibraryIndex::kFolderName, dest / "moved");
  std::ofstream(dest / LibraryIndex::kFolderName) << "in the way";

  PartFile part(dest / "a.flac");
  std::ofstream(part.path()) << "audio";
  LibraryIndexEntry entry;
  entry.output = "a.flac";
  entry.source = "a.wav";
  entry.format = "flac";
  const auto placed = store.place(entry, part.path(), std::nullopt);
  EXPECT_FALSE(placed);
  EXPECT_FALSE(fs::exists(dest / "a.flac"));
  EXPECT_TRUE(fs::exists(part.path()));
}

}  // namespace
}  // namespace vexal
