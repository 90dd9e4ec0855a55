#include "persistence/library_index.h"

#include <sys/stat.h>

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUtf8StringView>

#include "persistence/json_file.h"

namespace vexal {

namespace {

constexpr int kVersion = 1;

// A path as JSON text when it is UTF-8; other bytes go base64 under "<key>64".
void putPath(QJsonObject& object, const char* key, const std::string& bytes) {
  const QByteArray raw = QByteArray::fromStdString(bytes);
  if (QUtf8StringView(raw).isValidUtf8()) {
    object.insert(QLatin1String(key), QString::fromUtf8(raw));
  } else {
    object.insert(QLatin1String(key) + QLatin1String("64"), QString::fromLatin1(raw.toBase64()));
  }
}

std::optional<std::string> pathFrom(const QJsonObject& object, const char* key) {
  if (const auto text = json_file::string(object.value(QLatin1String(key))))
    return text->toUtf8().toStdString();
  if (const auto text = json_file::string(object.value(QLatin1String(key) + QLatin1String("64"))))
    return QByteArray::fromBase64(text->toLatin1()).toStdString();
  return std::nullopt;
}

QJsonObject encode(const LibraryIndexEntry& entry) {
  QJsonObject object;
  putPath(object, "output", entry.output);
  putPath(object, "source", entry.source);
  if (entry.start) object.insert("start", static_cast<qint64>(*entry.start));
  object.insert("format", QString::fromStdString(entry.format));
  object.insert("sourceSize", static_cast<qint64>(entry.sourceStamp.size));
  object.insert("sourceMtimeNs", QString::number(entry.sourceStamp.mtimeNs));  // > 2^53
  object.insert("fingerprint", QString::fromStdString(entry.fingerprint));
  object.insert("outputSize", static_cast<qint64>(entry.outputStamp.size));
  object.insert("outputMtimeNs", QString::number(entry.outputStamp.mtimeNs));
  return object;
}

std::optional<std::int64_t> nanoseconds(const QJsonValue& value) {
  const auto text = json_file::string(value);
  if (!text) return std::nullopt;
  bool ok = false;
  const qint64 ns = text->toLongLong(&ok);
  return ok ? std::optional<std::int64_t>(ns) : std::nullopt;
}

std::optional<LibraryIndexEntry> decode(const QJsonValue& value) {
  if (!value.isObject()) return std::nullopt;
  const QJsonObject object = value.toObject();
  LibraryIndexEntry entry;
  const auto output = pathFrom(object, "output");
  const auto source = pathFrom(object, "source");
  const auto format = json_file::string(object.value("format"));
  const auto fingerprint = json_file::string(object.value("fingerprint"));
  const auto sourceSize = json_file::integer(object.value("sourceSize"));
  const auto sourceMtime = nanoseconds(object.value("sourceMtimeNs"));
  const auto outputSize = json_file::integer(object.value("outputSize"));
  const auto outputMtime = nanoseconds(object.value("outputMtimeNs"));
  if (!output || output->empty() || !source || !format || !fingerprint || !sourceSize ||
      !sourceMtime || !outputSize || !outputMtime)
    return std::nullopt;
  entry.output = *output;
  entry.source = *source;
  if (const auto start = json_file::integer(object.value("start"))) entry.start = *start;
  entry.format = format->toStdString();
  entry.fingerprint = fingerprint->toStdString();
  entry.sourceStamp = {*sourceSize, *sourceMtime};
  entry.outputStamp = {*outputSize, *outputMtime};
  return entry;
}

// Entries by output; nothing when the bytes are not an index (then the caller keeps the
// file aside rather than replace it).
std::optional<std::map<std::string, LibraryIndexEntry>> parse(const QByteArray& bytes) {
  const QJsonDocument document = QJsonDocument::fromJson(bytes);
  if (!document.isObject()) return std::nullopt;
  const QJsonValue list = document.object().value("entries");
  if (!list.isArray()) return std::nullopt;
  std::map<std::string, LibraryIndexEntry> entries;
  for (const QJsonValue& value : list.toArray()) {
    // One unreadable entry costs a re-conversion of its source, not the whole index.
    if (auto entry = decode(value)) entries[entry->output] = std::move(*entry);
  }
  return entries;
}

}  // namespace

std::optional<FileStamp> stampOf(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return FileStamp{static_cast<std::int64_t>(info.st_size),
                   static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 +
                       info.st_mtim.tv_nsec};
}

LibraryIndex::LibraryIndex(std::string destination) : destination_(std::move(destination)) {}

std::string LibraryIndex::lookupKey(const std::string& source, std::optional<std::int64_t> start,
                                    const std::string& format) {
  // NUL cannot occur in a path, so the parts cannot run into each other.
  return source + '\0' + (start ? std::to_string(*start) : std::string("-")) + '\0' + format;
}

void LibraryIndex::insert(LibraryIndexEntry entry) {
  erase(entry.output);
  bySource_[lookupKey(entry.source, entry.start, entry.format)] = entry.output;
  std::string output = entry.output;
  entries_[std::move(output)] = std::move(entry);
}

void LibraryIndex::erase(const std::string& output) {
  const auto it = entries_.find(output);
  if (it == entries_.end()) return;
  const std::string key = lookupKey(it->second.source, it->second.start, it->second.format);
  if (const auto found = bySource_.find(key); found != bySource_.end() && found->second == output)
    bySource_.erase(found);
  entries_.erase(it);
}

void LibraryIndex::load() {
  entries_.clear();
  bySource_.clear();
  const QString path = QString::fromStdString(destination_ + '/' + kFileName);
  const auto bytes = json_file::read(path);
  if (!bytes) return;
  auto parsed = parse(*bytes);
  if (!parsed) {
    json_file::setAside(path);
    return;
  }
  for (auto& [output, entry] : *parsed) insert(std::move(entry));
}

const LibraryIndexEntry* LibraryIndex::find(const std::string& source,
                                            std::optional<std::int64_t> start,
                                            const std::string& format) const {
  const auto found = bySource_.find(lookupKey(source, start, format));
  if (found == bySource_.end()) return nullptr;
  const auto entry = entries_.find(found->second);
  return entry == entries_.end() ? nullptr : &entry->second;
}

void LibraryIndex::record(LibraryIndexEntry entry) {
  // One output per source and format: an earlier one kept elsewhere (the user changed
  // it, so it was not replaced) is the user's from now on.
  if (const auto earlier = bySource_.find(lookupKey(entry.source, entry.start, entry.format));
      earlier != bySource_.end() && earlier->second != entry.output)
    forget(std::string(earlier->second));
  forgotten_.erase(entry.output);
  recorded_[entry.output] = entry;
  insert(std::move(entry));
}

void LibraryIndex::forget(const std::string& output) {
  recorded_.erase(output);
  forgotten_.insert(output);
  erase(output);
}

std::expected<void, QString> LibraryIndex::save() {
  if (!hasChanges()) return {};
  const QString path = QString::fromStdString(destination_ + '/' + kFileName);
  std::map<std::string, LibraryIndexEntry> merged;
  auto saved = json_file::updateLocked(path, [&](const std::optional<QByteArray>& current) {
    merged.clear();
    if (current) {
      auto parsed = parse(*current);
      if (parsed) {
        merged = std::move(*parsed);
      } else {
        json_file::setAside(path);  // another writer's damage is kept for inspection
      }
    }
    for (const std::string& output : forgotten_) merged.erase(output);
    for (const auto& [output, entry] : recorded_) merged[output] = entry;
    QJsonArray list;
    for (const auto& [output, entry] : merged) list.append(encode(entry));
    return QJsonDocument(QJsonObject{{"version", kVersion}, {"entries", list}})
        .toJson(QJsonDocument::Compact);
  });
  if (!saved) return saved;
  recorded_.clear();
  forgotten_.clear();
  // What other processes added is known from now on.
  entries_.clear();
  bySource_.clear();
  for (auto& [output, entry] : merged) insert(std::move(entry));
  return {};
}

}  // namespace vexal
