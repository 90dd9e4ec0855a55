#include "persistence/preset_manager.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>
#include <limits>

#include "persistence/conversion_history.h"
#include "persistence/json_file.h"

namespace vexal {

namespace {

QString toQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

ConversionPreset makeBuiltIn(const char* name, OutputFormat format, NormalizationMode mode, double target,
                             bool trimSilence, std::string_view namingTemplate) {
  ConversionSettings settings;
  settings.enabledFormats = {format};
  settings.normalizationMode = mode;
  settings.normalizationTarget = target;
  settings.trimSilence = trimSilence;
  settings.namingTemplate.templateText = std::string(namingTemplate);
  return ConversionPreset(QString::fromUtf8(name), settings);
}

constexpr std::string_view kAlbumTemplate = "{artist}/{album}/{track} - {title}";

}  // namespace

QJsonObject encodePreset(const ConversionPreset& preset) {
  QJsonObject object;
  object.insert("id", QString::fromStdString(preset.id.toString()));
  object.insert("name", preset.name);
  object.insert("enabledFormats", QJsonArray::fromStringList(preset.enabledFormats));
  object.insert("bitrateMode", preset.bitrateMode);
  if (preset.customBitrate) object.insert("customBitrate", *preset.customBitrate);
  // A rate that is no number cannot be stored; leaving it out keeps the source rate.
  if (preset.customSampleRate && std::isfinite(*preset.customSampleRate)) {
    object.insert("customSampleRate", *preset.customSampleRate);
  }
  if (preset.customChannels) object.insert("customChannels", static_cast<qint64>(*preset.customChannels));
  object.insert("vbrQuality", preset.vbrQuality);
  object.insert("aacStrategy", preset.aacStrategy);
  object.insert("normalizationMode", preset.normalizationMode);
  object.insert("normalizationTarget", json_file::finiteOrZero(preset.normalizationTarget));
  object.insert("trimSilence", preset.trimSilence);
  object.insert("silenceThresholdDB", json_file::finiteOrZero(preset.silenceThresholdDB));
  object.insert("fadeInSeconds", json_file::finiteOrZero(preset.fadeInSeconds));
  object.insert("fadeOutSeconds", json_file::finiteOrZero(preset.fadeOutSeconds));
  object.insert("preserveMetadata", preset.preserveMetadata);
  object.insert("namingTemplate", preset.namingTemplate);
  object.insert("writeReplayGain", preset.writeReplayGain);
  object.insert("verifyAfterConversion", preset.verifyAfterConversion);
  if (preset.skipConverted) object.insert("skipConverted", true);
  if (preset.coverMaxSize) object.insert("coverMaxSize", static_cast<qint64>(*preset.coverMaxSize));
  if (preset.frontCoverOnly) object.insert("frontCoverOnly", true);
  if (preset.bitDepth != QLatin1String("default")) object.insert("bitDepth", preset.bitDepth);
  if (preset.truePeakCeiling != -1.0) object.insert("truePeakCeiling", json_file::finiteOrZero(preset.truePeakCeiling));
  if (preset.truePeakLimiter) object.insert("truePeakLimiter", true);
  if (preset.albumByFolder) object.insert("albumByFolder", true);
  if (!preset.formatBitrates.isEmpty()) {
    QJsonObject bitrates;
    for (auto it = preset.formatBitrates.cbegin(); it != preset.formatBitrates.cend(); ++it)
      bitrates.insert(it.key(), it.value());
    object.insert("formatBitrates", bitrates);
  }
  return object;
}

// Every key is required except the three custom values and the per-format bitrates, which
// may be missing or null.
std::optional<ConversionPreset> decodePreset(const QJsonValue& value) {
  if (!value.isObject()) return std::nullopt;
  const QJsonObject object = value.toObject();
  ConversionPreset preset;

  const auto idText = json_file::string(object.value("id"));
  if (!idText) return std::nullopt;
  const auto id = Uuid::fromString(idText->toStdString());
  if (!id) return std::nullopt;
  preset.id = *id;

  const QJsonValue formats = object.value("enabledFormats");
  if (!formats.isArray()) return std::nullopt;
  preset.enabledFormats.clear();
  for (const QJsonValue& format : formats.toArray()) {
    const auto text = json_file::string(format);
    if (!text) return std::nullopt;
    preset.enabledFormats.append(*text);
  }

  const std::pair<const char*, QString*> strings[] = {{"name", &preset.name},
                                                     {"bitrateMode", &preset.bitrateMode},
                                                     {"normalizationMode", &preset.normalizationMode},
                                                     {"namingTemplate", &preset.namingTemplate}};
  for (const auto& [key, field] : strings) {
    const auto text = json_file::string(object.value(QLatin1String(key)));
    if (!text) return std::nullopt;
    *field = *text;
  }

  const std::pair<const char*, qint64*> integers[] = {{"vbrQuality", &preset.vbrQuality},
                                                     {"aacStrategy", &preset.aacStrategy}};
  for (const auto& [key, field] : integers) {
    const auto number = json_file::integer(object.value(QLatin1String(key)));
    if (!number) return std::nullopt;
    *field = *number;
  }

  const std::pair<const char*, double*> numbers[] = {{"normalizationTarget", &preset.normalizationTarget},
                                                    {"silenceThresholdDB", &preset.silenceThresholdDB},
                                                    {"fadeInSeconds", &preset.fadeInSeconds},
                                                    {"fadeOutSeconds", &preset.fadeOutSeconds}};
  for (const auto& [key, field] : numbers) {
    const auto number = json_file::number(object.value(QLatin1String(key)));
    if (!number) return std::nullopt;
    *field = *number;
  }

  const std::pair<const char*, bool*> flags[] = {{"trimSilence", &preset.trimSilence},
                                                {"preserveMetadata", &preset.preserveMetadata},
                                                {"writeReplayGain", &preset.writeReplayGain},
                                                {"verifyAfterConversion", &preset.verifyAfterConversion}};
  for (const auto& [key, field] : flags) {
    const auto flag = json_file::boolean(object.value(QLatin1String(key)));
    if (!flag) return std::nullopt;
    *field = *flag;
  }

  auto absent = [](const QJsonValue& v) { return v.isUndefined() || v.isNull(); };
  const std::pair<const char*, bool*> optionalFlags[] = {{"skipConverted", &preset.skipConverted},
                                                        {"frontCoverOnly", &preset.frontCoverOnly},
                                                        {"truePeakLimiter", &preset.truePeakLimiter},
                                                        {"albumByFolder", &preset.albumByFolder}};
  for (const auto& [key, field] : optionalFlags) {
    if (const QJsonValue value = object.value(QLatin1String(key)); !absent(value)) {
      const auto flag = json_file::boolean(value);
      if (!flag) return std::nullopt;
      *field = *flag;
    }
  }
  if (const QJsonValue size = object.value("coverMaxSize"); !absent(size)) {
    const auto number = json_file::integer(size);
    if (!number || *number < 1 || *number > std::numeric_limits<quint32>::max()) {
      return std::nullopt;
    }
    preset.coverMaxSize = static_cast<quint32>(*number);
  }
  if (const QJsonValue depth = object.value("bitDepth"); !absent(depth)) {
    const auto text = json_file::string(depth);
    if (!text) return std::nullopt;
    preset.bitDepth = *text;
  }
  if (const QJsonValue ceiling = object.value("truePeakCeiling"); !absent(ceiling)) {
    const auto number = json_file::number(ceiling);
    if (!number) return std::nullopt;
    preset.truePeakCeiling = *number;
  }
  const QJsonValue bitrate = object.value("customBitrate");
  if (!absent(bitrate)) {
    const auto number = json_file::integer(bitrate);
    if (!number) return std::nullopt;
    preset.customBitrate = *number;
  }
  const QJsonValue sampleRate = object.value("customSampleRate");
  if (!absent(sampleRate)) {
    const auto number = json_file::number(sampleRate);
    if (!number) return std::nullopt;
    preset.customSampleRate = *number;
  }
  const QJsonValue channels = object.value("customChannels");
  if (!absent(channels)) {
    const auto number = json_file::integer(channels);
    if (!number || *number < 0 || *number > std::numeric_limits<quint32>::max()) return std::nullopt;
    preset.customChannels = static_cast<quint32>(*number);
  }
  const QJsonValue bitrates = object.value("formatBitrates");
  if (!absent(bitrates)) {
    if (!bitrates.isObject()) return std::nullopt;
    const QJsonObject map = bitrates.toObject();
    for (auto it = map.begin(); it != map.end(); ++it) {
      const auto number = json_file::integer(it.value());
      if (!number) return std::nullopt;
      preset.formatBitrates.insert(it.key(), *number);
    }
  }
  return preset;
}

ConversionPreset::ConversionPreset(QString presetName, const ConversionSettings& settings)
    : name(std::move(presetName)),
      bitrateMode(toQString(rawValue(settings.bitrateMode))),
      customBitrate(settings.customBitrate),
      customSampleRate(settings.customSampleRate),
      customChannels(settings.customChannels),
      vbrQuality(rawValue(settings.vbrQuality)),
      aacStrategy(rawValue(settings.aacStrategy)),
      normalizationMode(toQString(rawValue(settings.normalizationMode))),
      normalizationTarget(settings.normalizationTarget),
      trimSilence(settings.trimSilence),
      silenceThresholdDB(settings.silenceThresholdDB),
      fadeInSeconds(settings.fadeInSeconds),
      fadeOutSeconds(settings.fadeOutSeconds),
      preserveMetadata(settings.preserveMetadata),
      namingTemplate(QString::fromStdString(settings.namingTemplate.templateText)),
      writeReplayGain(settings.writeReplayGain),
      verifyAfterConversion(settings.verifyAfterConversion),
      skipConverted(settings.skipConverted),
      coverMaxSize(settings.coverMaxSize),
      frontCoverOnly(settings.frontCoverOnly),
      bitDepth(toQString(rawValue(settings.bitDepth))),
      truePeakCeiling(settings.truePeakCeiling),
      truePeakLimiter(settings.truePeakLimiter),
      albumByFolder(settings.albumByFolder) {
  for (OutputFormat format : settings.enabledFormats) enabledFormats.append(toQString(rawValue(format)));
  for (const auto& [format, bitrate] : settings.formatBitrates) formatBitrates.insert(toQString(rawValue(format)), bitrate);
}

ConversionSettings ConversionPreset::toSettings() const {
  ConversionSettings settings;
  for (const QString& raw : enabledFormats) {
    if (auto format = outputFormatFromRaw(raw.toStdString())) settings.enabledFormats.insert(*format);
  }
  settings.customBitrate = customBitrate;
  settings.customSampleRate = customSampleRate;
  settings.customChannels = customChannels;
  settings.normalizationMode = normalizationModeFromRaw(normalizationMode.toStdString()).value_or(NormalizationMode::off);
  settings.normalizationTarget = normalizationTarget;
  settings.bitrateMode = bitrateMode == QLatin1String("vbr") ? BitrateMode::vbr : BitrateMode::cbr;
  settings.vbrQuality = vbrQualityFromRaw(vbrQuality).value_or(VBRQuality::v2);
  settings.aacStrategy = aacStrategyFromRaw(aacStrategy).value_or(AACStrategy::cbr);
  settings.trimSilence = trimSilence;
  settings.silenceThresholdDB = silenceThresholdDB;
  settings.fadeInSeconds = fadeInSeconds;
  settings.fadeOutSeconds = fadeOutSeconds;
  settings.writeReplayGain = writeReplayGain;
  settings.preserveMetadata = preserveMetadata;
  settings.namingTemplate.templateText = namingTemplate.toStdString();
  settings.verifyAfterConversion = verifyAfterConversion;
  settings.skipConverted = skipConverted;
  settings.coverMaxSize = coverMaxSize;
  settings.frontCoverOnly = frontCoverOnly;
  settings.bitDepth = bitDepthFromRaw(bitDepth.toStdString()).value_or(BitDepth::formatDefault);
  settings.truePeakCeiling = truePeakCeiling;
  settings.truePeakLimiter = truePeakLimiter;
  settings.albumByFolder = albumByFolder;
  for (auto it = formatBitrates.cbegin(); it != formatBitrates.cend(); ++it) {
    if (auto format = outputFormatFromRaw(it.key().toStdString())) settings.formatBitrates[*format] = it.value();
  }
  return settings;
}

const std::vector<ConversionPreset>& builtInPresets() {
  static const std::vector<ConversionPreset> presets = [] {
    std::vector<ConversionPreset> list;
    ConversionPreset podcast = makeBuiltIn("Podcast", OutputFormat::mp3, NormalizationMode::lufs, -16.0, true,
                                           NamingTemplate::kFilenameOnly);
    podcast.customBitrate = 128000;
    podcast.customChannels = 1;
    list.push_back(podcast);

    ConversionPreset streaming = makeBuiltIn("Streaming", OutputFormat::aac, NormalizationMode::lufs, -14.0,
                                             false, NamingTemplate::kFilenameOnly);
    streaming.customBitrate = 256000;
    list.push_back(streaming);

    list.push_back(makeBuiltIn("Archive", OutputFormat::flac, NormalizationMode::off, -14.0, false, kAlbumTemplate));

    ConversionPreset vbr = makeBuiltIn("MP3 VBR V0", OutputFormat::mp3, NormalizationMode::off, -14.0, false,
                                       NamingTemplate::kFilenameOnly);
    vbr.bitrateMode = QStringLiteral("vbr");
    vbr.vbrQuality = rawValue(VBRQuality::v0);
    vbr.writeReplayGain = true;
    list.push_back(vbr);

    ConversionPreset bluetooth = makeBuiltIn("Bluetooth Max", OutputFormat::alac, NormalizationMode::off, -14.0,
                                             false, kAlbumTemplate);
    bluetooth.customSampleRate = 44100.0;
    bluetooth.customChannels = 2;
    list.push_back(bluetooth);
    return list;
  }();
  return presets;
}

QByteArray encodePresets(const std::vector<ConversionPreset>& presets) {
  QJsonArray array;
  for (const auto& preset : presets) array.append(encodePreset(preset));
  return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

std::optional<std::vector<ConversionPreset>> decodePresets(const QByteArray& json) {
  QJsonParseError error;
  const QJsonDocument document = QJsonDocument::fromJson(json, &error);
  if (error.error != QJsonParseError::NoError || !document.isArray()) return std::nullopt;
  const QJsonArray array = document.array();
  std::vector<ConversionPreset> presets;
  presets.reserve(static_cast<std::size_t>(array.size()));
  for (const QJsonValue& value : array) {
    auto preset = decodePreset(value);
    if (!preset) return std::nullopt;  // one bad preset rejects the whole file
    presets.push_back(std::move(*preset));
  }
  return presets;
}

PresetManager::PresetManager(QString filePath, QObject* parent)
    : QObject(parent), filePath_(filePath.isEmpty() ? storageURL(QStringLiteral("presets.json")) : std::move(filePath)) {}

void PresetManager::load() {
  const auto bytes = json_file::read(filePath_);
  std::vector<ConversionPreset> loaded;
  if (bytes) {
    if (auto decoded = decodePresets(*bytes)) {
      loaded = std::move(*decoded);
    } else {
      json_file::setAside(filePath_);
    }
  }
  presets_ = std::move(loaded);
  emit presetsChanged();
}

std::expected<void, QString> PresetManager::add(ConversionPreset preset) {
  unsaved_.insert(preset.id);
  presets_.push_back(std::move(preset));
  auto saved = save();
  emit presetsChanged();
  return saved;
}

std::expected<void, QString> PresetManager::remove(const Uuid& id) {
  const auto erased = std::erase_if(presets_, [&](const ConversionPreset& preset) { return preset.id == id; });
  if (erased == 0) return std::unexpected(QStringLiteral("no saved preset has that id"));
  unsaved_.erase(id);
  removed_.insert(id);
  auto saved = save();
  emit presetsChanged();
  return saved;
}

std::optional<ConversionPreset> PresetManager::find(const QString& name) const {
  for (const auto& preset : presets_) {
    if (preset.name == name) return preset;
  }
  for (const auto& preset : builtInPresets()) {
    if (preset.name == name) return preset;
  }
  return std::nullopt;
}

std::expected<void, QString> PresetManager::save() {
  std::vector<ConversionPreset> result;
  auto saved = json_file::updateLocked(filePath_, [&](const std::optional<QByteArray>& current) {
    std::set<Uuid> present;
    if (current) {
      if (auto stored = decodePresets(*current)) {
        for (auto& preset : *stored) {
          if (!removed_.contains(preset.id) && present.insert(preset.id).second) result.push_back(std::move(preset));
        }
      } else {
        json_file::setAside(filePath_);  // what the user had survives beside the new file
      }
    }
    // Presets this process loaded and no longer finds were removed elsewhere: only its
    // own unsaved ones are carried over, after the stored ones.
    for (const auto& preset : presets_) {
      if (unsaved_.contains(preset.id) && present.insert(preset.id).second) result.push_back(preset);
    }
    return encodePresets(result);
  });
  if (!saved) return saved;
  unsaved_.clear();
  removed_.clear();
  presets_ = std::move(result);
  return {};
}

}  // namespace vexal
