#pragma once

#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <expected>
#include <optional>
#include <set>
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
  bool skipConverted = false;  // key written only when true, so older files load unchanged
  // Keys written only when set, so older files load unchanged.
  std::optional<quint32> coverMaxSize;  // pixels, at least 1
  bool frontCoverOnly = false;
  // Keys written only when not the default, like skipConverted.
  QString bitDepth = "default";
  double truePeakCeiling = -1.0;
  bool truePeakLimiter = false;
  bool albumByFolder = false;
  // Format raw value to bit/s; key omitted when empty, so older files load unchanged.
  QMap<QString, qint64> formatBitrates;

  ConversionPreset() = default;
  ConversionPreset(QString name, const ConversionSettings& settings);
  // Unknown raw values fall back: cbr, v2, cbr strategy, normalisation off, default depth.
  ConversionSettings toSettings() const;
  bool operator==(const ConversionPreset&) const = default;
};

// "Podcast", "Streaming", "Archive", "MP3 VBR V0", "Bluetooth Max"; created once per process.
const std::vector<ConversionPreset>& builtInPresets();

// The user's presets in the order saved, kept in "presets.json". Several processes may
// share the file: a save merges under a lock, keeping presets other processes saved and
// dropping those this process removed. Main thread only.
class PresetManager : public QObject {
  Q_OBJECT
 public:
  explicit PresetManager(QString filePath = {}, QObject* parent = nullptr);

  const std::vector<ConversionPreset>& presets() const { return presets_; }
  const QString& filePath() const { return filePath_; }

  void load();
  // Appends and saves at once; the error says why the file could not be written (the
  // preset then stays in memory and is written by the next save).
  std::expected<void, QString> add(ConversionPreset preset);
  // Removes a saved preset and saves at once; false when no preset has that id.
  std::expected<void, QString> remove(const Uuid& id);
  // Finds a built-in or saved preset by name (saved ones first).
  std::optional<ConversionPreset> find(const QString& name) const;

 signals:
  void presetsChanged();

 private:
  std::expected<void, QString> save();
  QString filePath_;
  std::vector<ConversionPreset> presets_;
  std::set<Uuid> unsaved_;  // added here and not yet on disk
  std::set<Uuid> removed_;  // removed here; the next save drops them from the file
};

// One preset as a JSON object, and back (nothing for a missing key or a wrong type); the
// settings file stores its settings the same way.
QJsonObject encodePreset(const ConversionPreset& preset);
std::optional<ConversionPreset> decodePreset(const QJsonValue& value);

QByteArray encodePresets(const std::vector<ConversionPreset>& presets);
std::optional<std::vector<ConversionPreset>> decodePresets(const QByteArray& json);

}  // namespace vexal
