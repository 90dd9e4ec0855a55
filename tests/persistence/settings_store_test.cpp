#include <QDir>
#include <gmock/gmock.h>

#include "persistence/settings_store.h"
#include "persistence_test_support.h"
#include "support/test_support.h"

namespace vexal {
namespace {

using test::readAll;
using test::toQString;
using test::writeAll;

// A file that is not the state (damaged, or of the wrong shape) loads as nothing and is
// kept aside; the next save writes a fresh one.
TEST(SettingsStore, UndecodableFileIsKeptAsideAndReplacedByTheNextSave) {
  test::TempDir dir;
  const QString path = toQString(dir / "settings.json");
  RememberedState state;
  state.settings.enabledFormats = {OutputFormat::opus};
  state.expandedFormat = OutputFormat::opus;
  state.outputDirectory = "/music/out";
  state.windowGeometry = QByteArray("\x01\x00\xff", 3);
  for (const QByteArray& damaged : {QByteArray("{\"settings\":"),
                                    encodeRememberedState(state).replace("outputDirectory", "output")}) {
    writeAll(path, damaged);
    const SettingsStore store(path);
    EXPECT_FALSE(store.load());
    EXPECT_FALSE(QFile::exists(path));
    ASSERT_TRUE(store.save(state));
    EXPECT_EQ(store.load(), state);
  }
  EXPECT_EQ(QDir(toQString(dir.path())).entryList({"settings.json.*.corrupt"}, QDir::Files).size(), 2);
}

}  // namespace
}  // namespace vexal
