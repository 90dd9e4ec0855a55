#include <QDir>
#include <QJsonArray>
#include <gmock/gmock.h>

#include "persistence/preset_manager.h"
#include "persistence_test_support.h"
#include "support/test_support.h"

namespace vexal {
namespace {

using test::readAll;
using test::toQString;
using test::writeAll;

ConversionSettings everyFieldSet() {
  ConversionSettings settings;
  settings.enabledFormats = {OutputFormat::vorbis, OutputFormat::aac, OutputFormat::flac};
  settings.customBitrate = 160000;
  settings.customSampleRate = 48000.0;
  settings.customChannels = 1;
  settings.normalizationMode = NormalizationMode::rms;
  settings.normalizationTarget = -18.5;
  settings.bitrateMode = BitrateMode::vbr;
  settings.vbrQuality = VBRQuality::v6;
  settings.aacStrategy = AACStrategy::vbrHigh;
  settings.trimSilence = true;
  settings.silenceThresholdDB = -60.0;
  settings.fadeInSeconds = 1.5;
  settings.fadeOutSeconds = 2.0;
  settings.writeReplayGain = true;
  settings.preserveMetadata = false;
  settings.namingTemplate.templateText = "{artist}/{title}";
  settings.verifyAfterConversion = true;
  settings.skipConverted = true;
  settings.bitDepth = BitDepth::int16;
  settings.truePeakCeiling = -2.0;
  settings.truePeakLimiter = true;
  settings.albumByFolder = true;
  settings.formatBitrates = {{OutputFormat::vorbis, 224000}, {OutputFormat::aac, 96000}};
  settings.coverMaxSize = 500;
  settings.frontCoverOnly = true;
  return settings;
}

QByteArray withValue(const char* key, const QJsonValue& value) {
  return test::withKey(encodePresets({ConversionPreset("P", ConversionSettings{})}), 0, key, value);
}

// A file written before formats had bitrates of their own: its one bitrate still applies
// to every lossy format, and a map of the wrong shape rejects the file.
TEST(PresetJson, FileWithoutPerFormatBitratesLoadsWithItsSharedBitrate) {
  const QByteArray old = withValue("customBitrate", 160000);
  const auto decoded = decodePresets(old);
  ASSERT_TRUE(decoded);
  const ConversionSettings settings = decoded->front().toSettings();
  EXPECT_TRUE(settings.formatBitrates.empty());
  EXPECT_EQ(settings.bitrateFor(OutputFormat::opus), 160000);
  EXPECT_EQ(settings.bitrateFor(OutputFormat::mp3), 160000);
  EXPECT_FALSE(decodePresets(test::withKey(old, 0, "formatBitrates", QJsonObject{{"mp3", "192"}})));
}

TEST(PresetJson, SettingsSurviveAPresetAndTheFile) {
  const ConversionSettings settings = everyFieldSet();
  const ConversionPreset preset("Everything", settings);
  const auto decoded = decodePresets(encodePresets({preset}));
  ASSERT_TRUE(decoded);
  ASSERT_EQ(decoded->size(), 1u);
  EXPECT_EQ(decoded->front(), preset);
  EXPECT_EQ(decoded->front().toSettings(), settings);
}

// A required key missing or null, or a value of the wrong type.
class PresetBadValue : public ::testing::TestWithParam<std::pair<const char*, QJsonValue>> {};

TEST_P(PresetBadValue, RejectsTheFile) { EXPECT_FALSE(decodePresets(withValue(GetParam().first, GetParam().second))); }

INSTANTIATE_TEST_SUITE_P(Values, PresetBadValue,
                         ::testing::Values(std::pair{"id", QJsonValue(QJsonValue::Undefined)},
                                           std::pair{"name", QJsonValue(QJsonValue::Null)},
                                           std::pair{"fadeOutSeconds", QJsonValue(QJsonValue::Undefined)},
                                           std::pair{"vbrQuality", QJsonValue(2.5)},
                                           std::pair{"enabledFormats", QJsonValue(QJsonArray{"mp3", 3})},
                                           std::pair{"customBitrate", QJsonValue("128000")},
                                           std::pair{"customChannels", QJsonValue(-1)},
                                           std::pair{"coverMaxSize", QJsonValue(0)},
                                           std::pair{"frontCoverOnly", QJsonValue("yes")},
                                           std::pair{"truePeakLimiter", QJsonValue("yes")},
                                           std::pair{"bitDepth", QJsonValue(16)},
                                           std::pair{"id", QJsonValue("E621E1F8C36C495A93FC0C247A3E6E5F")}));

// Raw values this version does not know fall back to the defaults.
TEST(PresetSettings, UnknownRawValuesFallBack) {
  ConversionPreset preset("P", ConversionSettings{});
  preset.enabledFormats = {"mp3", "MP3", "ogg", "flac "};
  preset.bitrateMode = "VBR";
  preset.vbrQuality = 3;
  preset.aacStrategy = 7;
  preset.normalizationMode = "LUFS";
  preset.bitDepth = "32";
  ConversionSettings expected;
  expected.enabledFormats = {OutputFormat::mp3};
  EXPECT_EQ(preset.toSettings(), expected);
}

class PresetStore : public ::testing::Test {
 protected:
  test::TempDir dir_;
  QString path_ = toQString(dir_ / "presets.json");
};

TEST_F(PresetStore, AddSavesAtOnceInOrder) {
  PresetManager manager(path_);
  EXPECT_TRUE(manager.add(ConversionPreset("First", everyFieldSet())));
  EXPECT_TRUE(manager.add(ConversionPreset("First", ConversionSettings{})));
  const auto written = decodePresets(readAll(path_));
  ASSERT_TRUE(written);
  EXPECT_EQ(*written, manager.presets());

  PresetManager reloaded(path_);
  reloaded.load();
  EXPECT_EQ(reloaded.presets(), manager.presets());
}

TEST_F(PresetStore, FileMissingAKeyLoadsNothingAndIsKeptAside) {
  const QByteArray damaged = withValue("verifyAfterConversion", QJsonValue::Undefined);
  writeAll(path_, damaged);

  PresetManager manager(path_);
  manager.load();
  EXPECT_TRUE(manager.presets().empty());
  const QStringList aside = QDir(toQString(dir_.path())).entryList({"presets.json.*.corrupt"}, QDir::Files);
  ASSERT_EQ(aside.size(), 1);
  EXPECT_EQ(readAll(toQString(dir_ / aside.front().toStdString())), damaged);

  EXPECT_TRUE(manager.add(ConversionPreset("C", ConversionSettings{})));
  EXPECT_EQ(decodePresets(readAll(path_))->size(), 1u);
}

// Two processes saving into one file keep each other's presets; a removal is not undone
// by the other process's next save.
TEST_F(PresetStore, SharedFileKeepsPresetsOfBothAndHonoursRemovals) {
  PresetManager first(path_);
  PresetManager second(path_);
  first.load();
  second.load();
  ASSERT_TRUE(first.add(ConversionPreset("X", ConversionSettings{})));
  ASSERT_TRUE(second.add(ConversionPreset("Y", ConversionSettings{})));
  const Uuid x = first.presets().front().id;
  ASSERT_TRUE(first.remove(x));
  ASSERT_TRUE(second.add(ConversionPreset("Z", ConversionSettings{})));

  const auto written = decodePresets(readAll(path_));
  ASSERT_TRUE(written);
  QStringList names;
  for (const auto& preset : *written) names << preset.name;
  EXPECT_EQ(names, QStringList({"Y", "Z"}));
  EXPECT_EQ(second.presets(), *written);
}

// A missing folder, and a folder in place of the file (the final rename fails).
TEST_F(PresetStore, FailedWriteIsReportedAndKeepsThePreset) {
  ASSERT_TRUE(QDir().mkpath(path_));
  for (const QString& path : {toQString(dir_ / "no-such-folder" / "presets.json"), path_}) {
    PresetManager manager(path);
    EXPECT_FALSE(manager.add(ConversionPreset("A", ConversionSettings{})));
    EXPECT_EQ(manager.presets().size(), 1u);
  }
}

}  // namespace
}  // namespace vexal
