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

std::optional<RememberedState> decodeRememberedState(const QByteArray& json) {
  QJsonParseError error;
  const QJsonDocument document = QJsonDocument::fromJson(json, &error);
  if (error.error != QJsonParseError::NoError || !document.isObject()) return std::nullopt;
  const QJsonObject object = document.object();
  RememberedState state;
  const auto preset = decodePreset(object.value("settings"));
  const auto folder = json_file::string(object.value("outputDirectory"));
  const auto geometry = json_file::string(object.value("windowGeometry"));
  if (!preset || !folder || !geometry) return std::nullopt;
  state.settings = preset->toSettings();
  state.outputDirectory = *folder;
  state.windowGeometry = QByteArray::fromBase64(geometry->toLatin1());
  const QJsonValue expanded = object.value("expandedFormat");
  if (!expanded.isUndefined() && !expanded.isNull()) {
    const auto text = json_file::string(expanded);
    if (!text) return std::nullopt;
    state.expandedFormat = outputFormatFromRaw(text->toStdString());  // unknown: none unfolded
  }
  return state;
}

std::optional<RememberedState> SettingsStore::load() const {
  const auto bytes = json_file::read(filePath_);
  if (!bytes) return std::nullopt;
  auto state = decodeRememberedState(*bytes);
  if (!state) json_file::setAside(filePath_);
  return state;
}

std::expected<void, QString> SettingsStore::save(const RememberedState& state) const {
  return json_file::writeAtomically(filePath_, encodeRememberedState(state));
}

}  // namespace vexal
