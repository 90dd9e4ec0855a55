#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

#include "model/conversion_settings.h"
#include "model/uuid.h"

namespace vexal {

// Settings in storable form: enums as raw values, the template as text.
struct ConversionPreset {
  Uuid id = Uuid::random();
  QString name;
  QStringList enabledFormats;
  QString bitrateMode = "cbr";
  std::optional<qint64> customBitrate;
  std::optional<double> customSampleRate;
  std::optional<quint32> customChannels;
  qint64 vbrQuality = 2;
  qint64 aacStrategy = 0;
  QString normalizationMode = "off";
  double normalizationTarget = -14.0;
  bool trimSilence = false;
  double silenceThresholdDB = -50.0;
  double fadeInSeconds = 0.0;
  double fadeOutSeconds = 0.0;
  bool preserveMetadata = true;
  QString namingTemplate = "{filename}";
  bool writeReplayGain = false;
  bool verifyAfterConversion = false;

  ConversionPreset() = default;
  ConversionPreset(QString name, const ConversionSettings& settings);
  // Unknown raw values fall back: cbr, v2, cbr strategy, normalisation off.
  ConversionSettings toSettings() const;
  bool operator==(const ConversionPreset&) const = default;
};

// "Podcast", "Streaming", "Archive", "MP3 VBR V0", "Bluetooth Max"; created once per process.
const std::vector<ConversionPreset>& builtInPresets();

// The user's presets in the order saved, kept in "presets.json". Main thread only.
class PresetManager : public QObject {
  Q_OBJECT
 public:
  explicit PresetManager(QString filePath = {}, QObject* parent = nullptr);

  const std::vector<ConversionPreset>& presets() const { return presets_; }
  const QString& filePath() const { return filePath_; }

  void load();
  // Appends and saves at once; false when the file could not be written (the preset
  // stays in memory).
  bool add(ConversionPreset preset);
  // Finds a built-in or saved preset by name (saved ones first).
  std::optional<ConversionPreset> find(const QString& name) const;

 signals:
  void presetsChanged();

 private:
  bool save();  // false when the file could not be written
  QString filePath_;
  std::vector<ConversionPreset> presets_;
};

QByteArray encodePresets(const std::vector<ConversionPreset>& presets);
std::optional<std::vector<ConversionPreset>> decodePresets(const QByteArray& json);

}  // namespace vexal
