#include "persistence/settings_store.h"

#include <QJsonDocument>
#include <QJsonObject>

#include "persistence/json_file.h"
#include "persistence/preset_manager.h"

namespace vexal {

QString configURL(const QString& fileName) {
  return json_file::appFile(QStandardPaths::GenericConfigLocation, fileName);
}

QByteArray encodeRememberedState(const RememberedState& state) {
  QJsonObject object;
  // The settings are stored as a preset is, so both files read and evolve alike.
  object.insert("settings", encodePreset(ConversionPreset(QString(), state.settings)));
  if (state.expandedFormat) {
    object.insert("expandedFormat", QString::fromUtf8(rawValue(*state.expandedFormat).data()));
  }
  object.insert("outputDirectory", state.outputDirectory);
  object.insert("windowGeometry", QString::fromLatin1(state.windowGeometry.toBase64()));
  return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

namespace {

// Each stored key is tried alone on top of the defaults and kept when the preset reader
// takes it, so one bad value costs only itself.
ConversionSettings decodeSettings(const QJsonValue& value, QStringList& resetKeys) {
  QJsonObject merged = encodePreset(ConversionPreset(QString(), ConversionSettings()));
  const QJsonObject defaults = merged;
  const QJsonObject stored = value.toObject();
  for (auto it = stored.begin(); it != stored.end(); ++it) {
    QJsonObject trial = merged;
    trial.insert(it.key(), it.value());
    if (decodePreset(trial)) {
      merged = std::move(trial);
    } else {
      resetKeys << it.key();
    }
  }
  // The preset's own id and name mean nothing here.
  for (const QString& key : defaults.keys()) {
    if (!stored.contains(key) && key != QLatin1String("id") && key != QLatin1String("name")) resetKeys << key;
  }
  return decodePreset(merged).value_or(ConversionPreset()).toSettings();
}

}  // namespace

std::optional<DecodedState> decodeRememberedState(const QByteArray& json) {
  QJsonParseError error;
  const QJsonDocument document = QJsonDocument::fromJson(json, &error);
  if (error.error != QJsonParseError::NoError || !document.isObject()) return std::nullopt;
  const QJsonObject object = document.object();
  DecodedState decoded;
  RememberedState& state = decoded.state;
  QStringList& reset = decoded.resetKeys;
  const QJsonValue settings = object.value("settings");
  if (!settings.isObject()) reset << QStringLiteral("settings");
  state.settings = decodeSettings(settings, reset);
  if (const auto folder = json_file::string(object.value("outputDirectory"))) {
    state.outputDirectory = *folder;
  } else {
    reset << QStringLiteral("outputDirectory");
  }
  if (const auto geometry = json_file::string(object.value("windowGeometry"))) {
    state.windowGeometry = QByteArray::fromBase64(geometry->toLatin1());
  } else {
    reset << QStringLiteral("windowGeometry");
  }
  const QJsonValue expanded = object.value("expandedFormat");
  if (!expanded.isUndefined() && !expanded.isNull()) {
    if (const auto text = json_file::string(expanded)) {
      state.expandedFormat = outputFormatFromRaw(text->toStdString());  // unknown: none unfolded
    } else {
      reset << QStringLiteral("expandedFormat");
    }
  }
  return decoded;
}

SettingsStore::Loaded SettingsStore::load() const {
  const auto bytes = json_file::read(filePath_);
  if (!bytes) return {};
  auto decoded = decodeRememberedState(*bytes);
  if (!decoded) {
    json_file::setAside(filePath_);
    return {std::nullopt, {}, true};
  }
  return {std::move(decoded->state), std::move(decoded->resetKeys), false};
}

std::expected<void, QString> SettingsStore::save(const RememberedState& state) const {
  return json_file::writeAtomically(filePath_, encodeRememberedState(state));
}

}  // namespace vexal
