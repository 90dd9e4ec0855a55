#include <QDir>
#include <gmock/gmock.h>

#include "persistence/settings_store.h"
#include "persistence_test_support.h"
#include "support/test_support.h"

namespace vexal {
namespace {

// A damaged file loads as nothing and is kept aside; the next save writes a fresh one.
TEST(SettingsStore, DamagedFileIsKeptAsideAndReplacedByTheNextSave) {
  test::TempDir dir;
  const SettingsStore store(test::toQString(dir / "settings.json"));
  RememberedState state;
  state.expandedFormat = OutputFormat::opus;
  state.windowGeometry = QByteArray("\x01\x00\xff", 3);
  test::writeAll(store.filePath(), encodeRememberedState(state).replace("outputDirectory", "output"));
  EXPECT_FALSE(store.load());
  EXPECT_EQ(QDir(test::toQString(dir.path())).entryList({"settings.json.*.corrupt"}, QDir::Files).size(), 1);
  ASSERT_TRUE(store.save(state));
  EXPECT_EQ(store.load(), state);
}

}  // namespace
}  // namespace vexal
