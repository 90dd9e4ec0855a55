#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <gmock/gmock.h>

#include "persistence/settings_store.h"
#include "persistence_test_support.h"
#include "support/test_support.h"

namespace vexal {
namespace {

RememberedState someState() {
  RememberedState state;
  state.settings.enabledFormats = {OutputFormat::mp3, OutputFormat::flac};
  state.settings.fadeInSeconds = 2.5;
  state.settings.fadeOutSeconds = 1.5;
  state.settings.trimSilence = true;
  state.settings.normalizationMode = NormalizationMode::lufs;
  state.expandedFormat = OutputFormat::mp3;
  state.outputDirectory = QStringLiteral("/music/converted");
  state.windowGeometry = QByteArray("\x01\x00\xff", 3);
  return state;
}

// A file from another version, missing a key or holding one this version cannot read,
// keeps every other value; those two take their defaults and are named.
TEST(SettingsStore, LoadsKeyByKey) {
  test::TempDir dir;
  const SettingsStore store(test::toQString(dir / "settings.json"));
  const RememberedState state = someState();
  QJsonObject object = QJsonDocument::fromJson(encodeRememberedState(state)).object();
  QJsonObject settings = object.value("settings").toObject();
  settings.remove("fadeInSeconds");
  settings.insert("trimSilence", "yes");
  settings.insert("optionOfANewerVersion", 3);
  object.insert("settings", settings);
  test::writeAll(store.filePath(), QJsonDocument(object).toJson());

  const SettingsStore::Loaded loaded = store.load();
  ASSERT_TRUE(loaded.state);
  RememberedState expected = state;
  expected.settings.fadeInSeconds = ConversionSettings().fadeInSeconds;
  expected.settings.trimSilence = ConversionSettings().trimSilence;
  EXPECT_EQ(*loaded.state, expected);
  EXPECT_EQ(std::set<QString>(loaded.resetKeys.begin(), loaded.resetKeys.end()),
            (std::set<QString>{"fadeInSeconds", "trimSilence"}));
  EXPECT_FALSE(loaded.damaged);
}

// A file that is not JSON at all is kept aside; the next save writes a fresh one.
TEST(SettingsStore, DamagedFileIsKeptAsideAndReplacedByTheNextSave) {
  test::TempDir dir;
  const SettingsStore store(test::toQString(dir / "settings.json"));
  const RememberedState state = someState();
  test::writeAll(store.filePath(), encodeRememberedState(state).left(40));
  const SettingsStore::Loaded loaded = store.load();
  EXPECT_FALSE(loaded.state);
  EXPECT_TRUE(loaded.damaged);
  EXPECT_EQ(QDir(test::toQString(dir.path())).entryList({"settings.json.*.corrupt"}, QDir::Files).size(), 1);
  ASSERT_TRUE(store.save(state));
  EXPECT_EQ(store.load().state, state);
  EXPECT_TRUE(store.load().resetKeys.isEmpty());
}

}  // namespace
}  // namespace vexal
