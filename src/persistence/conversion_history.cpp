#include "persistence/conversion_history.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <algorithm>
#include <cmath>

#include "persistence/json_file.h"

namespace vexal {

namespace {

// 2001-01-01 00:00:00 UTC in milliseconds since the Unix epoch: the reference date of
// the stored timestamps.
constexpr qint64 kReferenceDateMs = 978307200LL * 1000;

double secondsSinceReferenceDate(const QDateTime& date) {
  if (!date.isValid()) return 0.0;  // keeps the file decodable; the orchestrator always dates entries
  return static_cast<double>(date.toMSecsSinceEpoch() - kReferenceDateMs) / 1000.0;
}

std::optional<QDateTime> dateFromReferenceSeconds(double seconds) {
  const double ms = std::round(seconds * 1000.0);
  // Beyond ±2^53 ms a double no longer holds whole milliseconds; no real date is there.
  if (!std::isfinite(ms) || std::fabs(ms) > 9.0e15) return std::nullopt;
  return QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(ms) + kReferenceDateMs, Qt::UTC);
}

QJsonObject encodeEntry(const ConversionHistoryEntry& entry) {
  QJsonObject object;
  object.insert("id", QString::fromStdString(entry.id.toString()));
  object.insert("date", secondsSinceReferenceDate(entry.date));
  object.insert("sourceFileName", entry.sourceFileName);
  object.insert("sourcePath", entry.sourcePath);
  object.insert("outputFileName", entry.outputFileName);
  object.insert("outputPath", entry.outputPath);
  object.insert("outputFormat", entry.outputFormat);
  object.insert("duration", json_file::finiteOrZero(entry.duration));
  object.insert("successful", entry.successful);
  if (entry.errorMessage) object.insert("errorMessage", *entry.errorMessage);
  if (entry.fileSizeBefore) object.insert("fileSizeBefore", *entry.fileSizeBefore);
  if (entry.fileSizeAfter) object.insert("fileSizeAfter", *entry.fileSizeAfter);
  return object;
}

// Optional keys may be missing or null; any other type rejects the entry.
template <typename T, typename Reader>
bool readOptional(const QJsonObject& object, const char* key, Reader reader, std::optional<T>& out) {
  const QJsonValue value = object.value(QLatin1String(key));
  if (value.isUndefined() || value.isNull()) {
    out.reset();
    return true;
  }
  auto read = reader(value);
  if (!read) return false;
  out = *read;
  return true;
}

std::optional<ConversionHistoryEntry> decodeEntry(const QJsonValue& value) {
  if (!value.isObject()) return std::nullopt;
  const QJsonObject object = value.toObject();
  ConversionHistoryEntry entry;

  const auto idText = json_file::string(object.value("id"));
  if (!idText) return std::nullopt;
  const auto id = Uuid::fromString(idText->toStdString());
  if (!id) return std::nullopt;
  entry.id = *id;

  const auto seconds = json_file::number(object.value("date"));
  if (!seconds) return std::nullopt;
  const auto date = dateFromReferenceSeconds(*seconds);
  if (!date) return std::nullopt;
  entry.date = *date;

  const std::pair<const char*, QString*> strings[] = {
      {"sourceFileName", &entry.sourceFileName}, {"sourcePath", &entry.sourcePath},
      {"outputFileName", &entry.outputFileName}, {"outputPath", &entry.outputPath},
      {"outputFormat", &entry.outputFormat}};
  for (const auto& [key, field] : strings) {
    const auto text = json_file::string(object.value(QLatin1String(key)));
    if (!text) return std::nullopt;
    *field = *text;
  }

  const auto duration = json_file::number(object.value("duration"));
  const auto successful = json_file::boolean(object.value("successful"));
  if (!duration || !successful) return std::nullopt;
  entry.duration = *duration;
  entry.successful = *successful;

  if (!readOptional(object, "errorMessage", json_file::string, entry.errorMessage) ||
      !readOptional(object, "fileSizeBefore", json_file::integer, entry.fileSizeBefore) ||
      !readOptional(object, "fileSizeAfter", json_file::integer, entry.fileSizeAfter)) {
    return std::nullopt;
  }
  return entry;
}

}  // namespace

QString storageURL(const QString& fileName) {
  return json_file::appFile(QStandardPaths::GenericDataLocation, fileName);
}

std::optional<qint64> fileSize(const QString& path) {
  const QFileInfo info(path);
  if (!info.exists()) return std::nullopt;
  return info.size();
}

QByteArray encodeHistory(const std::vector<ConversionHistoryEntry>& entries) {
  QJsonArray array;
  for (const auto& entry : entries) array.append(encodeEntry(entry));
  return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

std::optional<std::vector<ConversionHistoryEntry>> decodeHistory(const QByteArray& json) {
  QJsonParseError error;
  const QJsonDocument document = QJsonDocument::fromJson(json, &error);
  if (error.error != QJsonParseError::NoError || !document.isArray()) return std::nullopt;
  const QJsonArray array = document.array();
  std::vector<ConversionHistoryEntry> entries;
  entries.reserve(static_cast<std::size_t>(array.size()));
  for (const QJsonValue& value : array) {
    auto entry = decodeEntry(value);
    if (!entry) return std::nullopt;  // one bad entry rejects the whole file
    entries.push_back(std::move(*entry));
  }
  return entries;
}

ConversionHistoryManager::ConversionHistoryManager(QString filePath, QObject* parent)
    : QObject(parent), filePath_(filePath.isEmpty() ? storageURL(QStringLiteral("history.json")) : std::move(filePath)) {
  saveTimer_.setSingleShot(true);
  saveTimer_.setTimerType(Qt::PreciseTimer);
  saveTimer_.setInterval(kSaveDelayMs);
  connect(&saveTimer_, &QTimer::timeout, this, [this] { saveNow(); });
}

ConversionHistoryManager::~ConversionHistoryManager() {
  // Entries added in the last two seconds before quitting must still reach the disk.
  if (saveTimer_.isActive()) saveNow();
}

void ConversionHistoryManager::load() {
  const auto bytes = json_file::read(filePath_);
  std::vector<ConversionHistoryEntry> loaded;
  if (bytes) {
    if (auto decoded = decodeHistory(*bytes)) {
      loaded = std::move(*decoded);
      if (loaded.size() > static_cast<std::size_t>(kMaxEntries)) loaded.resize(kMaxEntries);
    } else {
      json_file::setAside(filePath_);
    }
  }
  entries_ = std::move(loaded);
  emit entriesChanged();
}

void ConversionHistoryManager::add(ConversionHistoryEntry entry) {
  unsaved_.insert(entry.id);
  entries_.insert(entries_.begin(), std::move(entry));
  if (entries_.size() > static_cast<std::size_t>(kMaxEntries)) {
    for (auto it = entries_.begin() + kMaxEntries; it != entries_.end(); ++it) unsaved_.erase(it->id);
    entries_.resize(kMaxEntries);
  }
  saveTimer_.start();  // restarting cancels the pending save: one write per burst
  emit entriesChanged();
}

void ConversionHistoryManager::clear() {
  for (const auto& entry : entries_) removed_.insert(entry.id);
  entries_.clear();
  unsaved_.clear();
  cleared_ = true;
  saveNow();
  emit entriesChanged();
}

std::vector<ConversionHistoryEntry> ConversionHistoryManager::merged(
    const std::vector<ConversionHistoryEntry>& stored) const {
  // Stored entries that this process loaded and no longer finds were removed by another
  // process: only the entries added here since the last save are carried over.
  std::vector<ConversionHistoryEntry> result;
  std::set<Uuid> present;
  if (!cleared_) {
    for (const auto& entry : stored) {
      if (removed_.contains(entry.id) || !present.insert(entry.id).second) continue;
      result.push_back(entry);
    }
  }
  for (const auto& entry : entries_) {
    if (unsaved_.contains(entry.id) && present.insert(entry.id).second) result.push_back(entry);
  }
  std::ranges::stable_sort(result, [](const auto& a, const auto& b) { return a.date > b.date; });
  if (result.size() > static_cast<std::size_t>(kMaxEntries)) result.resize(kMaxEntries);
  return result;
}

bool ConversionHistoryManager::saveNow() {
  saveTimer_.stop();
  // Nothing of this process to write: the file stays untouched (a dry run, a batch of
  // up-to-date files).
  if (unsaved_.empty() && removed_.empty() && !cleared_) return true;
  std::vector<ConversionHistoryEntry> result;
  const auto saved = json_file::updateLocked(filePath_, [&](const std::optional<QByteArray>& current) {
    std::vector<ConversionHistoryEntry> stored;
    if (current) {
      if (auto decoded = decodeHistory(*current)) {
        stored = std::move(*decoded);
      } else {
        json_file::setAside(filePath_);  // what the user had survives beside the new file
      }
    }
    result = merged(stored);
    return encodeHistory(result);
  });
  if (!saved) {
    if (!lastSaveFailed_) {
      const QString message = QStringLiteral("History could not be saved: %1").arg(saved.error());
      emit saveFailed(message);
    }
    lastSaveFailed_ = true;
    return false;
  }
  lastSaveFailed_ = false;
  unsaved_.clear();
  removed_.clear();
  cleared_ = false;
  if (result != entries_) {
    entries_ = std::move(result);
    emit entriesChanged();
  }
  return true;
}

}  // namespace vexal
