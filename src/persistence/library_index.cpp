#include "persistence/library_index.h"

#include <sys/stat.h>
#include <cerrno>
#include <unistd.h>

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <chrono>
#include <charconv>

#include "persistence/index_journal.h"
#include "persistence/json_file.h"

namespace vexal {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxPathBytes = 4096;
constexpr std::size_t kEntryFields = 14;
// Journals are folded into one snapshot when there are more files than this, or many
// more records than entries.
constexpr std::size_t kCompactFiles = 16;
constexpr std::size_t kCompactSlackRecords = 4096;
// Forgotten outputs are remembered this long, so that an older record in a journal still
// being written cannot bring them back after a fold.
constexpr std::chrono::hours kTombstoneLife{24 * 30};

std::string number(std::int64_t value) { return std::to_string(value); }
std::string optionalNumber(const std::optional<std::int64_t>& value) {
  return value ? std::to_string(*value) : std::string();
}
std::string optionalHash(const std::optional<std::uint64_t>& value) {
  if (!value) return {};
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(*value));
  return text;
}

template <typename T>
std::optional<T> parse(std::string_view text, int base = 10) {
  T value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

// An empty field is "none"; anything else must parse.
template <typename T>
bool parseOptional(std::string_view text, std::optional<T>& out, int base = 10) {
  if (text.empty()) return true;
  out = parse<T>(text, base);
  return out.has_value();
}

std::vector<std::string> entryFields(const LibraryIndexEntry& entry) {
  return {entry.output,
          entry.source,
          optionalNumber(entry.start),
          optionalNumber(entry.track),
          entry.format,
          number(entry.sourceStamp.size),
          number(entry.sourceStamp.mtimeNs),
          entry.fingerprint,
          number(entry.outputStamp.size),
          number(entry.outputStamp.mtimeNs),
          optionalHash(entry.identity),
          optionalHash(entry.previousIdentity),
          entry.detail,
          entry.loudness};
}

std::optional<LibraryIndexEntry> entryFrom(const JournalRecord& record) {
  const auto& f = record.fields;
  if (f.size() < kEntryFields) return std::nullopt;  // later versions may add fields
  LibraryIndexEntry entry;
  entry.output = f[0];
  entry.source = f[1];
  entry.format = f[4];
  entry.fingerprint = f[7];
  entry.detail = f[12];
  entry.loudness = f[13];
  entry.time = record.time;
  const auto sourceSize = parse<std::int64_t>(f[5]);
  const auto sourceMtime = parse<std::int64_t>(f[6]);
  const auto outputSize = parse<std::int64_t>(f[8]);
  const auto outputMtime = parse<std::int64_t>(f[9]);
  if (!sourceSize || !sourceMtime || !outputSize || !outputMtime || entry.format.empty() ||
      !parseOptional(f[2], entry.start) || !parseOptional(f[3], entry.track) ||
      !parseOptional(f[10], entry.identity, 16) || !parseOptional(f[11], entry.previousIdentity, 16))
    return std::nullopt;
  entry.sourceStamp = {*sourceSize, *sourceMtime};
  entry.outputStamp = {*outputSize, *outputMtime};
  return entry;
}

std::string lookupKey(const SourceKey& key) {
  // NUL cannot occur in a path, so the parts cannot run into each other.
  return key.source + '\0' + optionalNumber(key.start) + '\0' + optionalNumber(key.track) + '\0' +
         key.format;
}

// The JSON index of earlier versions: {"entries":[{output, source, start, format,
// sourceSize, sourceMtimeNs, fingerprint, outputSize, outputMtimeNs}]}, paths that are
// not UTF-8 under "<key>64" in base64.
std::optional<std::string> legacyPath(const QJsonObject& object, const char* key) {
  if (const auto text = json_file::string(object.value(QLatin1String(key))))
    return text->toUtf8().toStdString();
  if (const auto text = json_file::string(object.value(QLatin1String(key) + QLatin1String("64"))))
    return QByteArray::fromBase64(text->toLatin1()).toStdString();
  return std::nullopt;
}

std::optional<std::int64_t> legacyNanoseconds(const QJsonValue& value) {
  const auto text = json_file::string(value);
  return text ? parse<std::int64_t>(text->toStdString()) : std::nullopt;
}

std::optional<LibraryIndexEntry> legacyEntry(const QJsonValue& value) {
  if (!value.isObject()) return std::nullopt;
  const QJsonObject object = value.toObject();
  LibraryIndexEntry entry;
  const auto output = legacyPath(object, "output");
  const auto source = legacyPath(object, "source");
  const auto format = json_file::string(object.value("format"));
  const auto fingerprint = json_file::string(object.value("fingerprint"));
  const auto sourceSize = json_file::integer(object.value("sourceSize"));
  const auto sourceMtime = legacyNanoseconds(object.value("sourceMtimeNs"));
  const auto outputSize = json_file::integer(object.value("outputSize"));
  const auto outputMtime = legacyNanoseconds(object.value("outputMtimeNs"));
  if (!output || !source || !format || format->isEmpty() || !fingerprint || !sourceSize ||
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

std::uint64_t wallClockNs() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                        std::chrono::system_clock::now().time_since_epoch())
                                        .count());
}

}  // namespace

bool LibraryIndexEntry::operator==(const LibraryIndexEntry& other) const {
  return entryFields(*this) == entryFields(other);
}

std::optional<FileStamp> stampOf(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return FileStamp{static_cast<std::int64_t>(info.st_size),
                   static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 +
                       info.st_mtim.tv_nsec};
}

bool isPlainRelativePath(std::string_view path) {
  if (path.empty() || path.size() > kMaxPathBytes || path.front() == '/' ||
      path.find('\0') != std::string_view::npos)
    return false;
  for (std::size_t start = 0;;) {
    const auto slash = path.find('/', start);
    const std::string_view part =
        path.substr(start, slash == std::string_view::npos ? path.npos : slash - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (slash == std::string_view::npos) return true;
    start = slash + 1;
  }
}

LibraryIndex::LibraryIndex(std::string destination) : destination_(std::move(destination)) {}

LibraryIndex::~LibraryIndex() { close(); }

void LibraryIndex::apply(const JournalRecord& record) {
  clock_ = std::max(clock_, record.time);
  if (record.op == 'F' && !record.fields.empty()) {
    const std::string& output = record.fields[0];
    if (const auto it = entries_.find(output); it != entries_.end()) {
      auto& outputs = bySource_[lookupKey(it->second.key())];
      std::erase(outputs, output);
      entries_.erase(it);
    }
    tombstones_[output] = record.time;
    return;
  }
  if (record.op != 'P') return;
  auto entry = entryFrom(record);
  if (!entry) {
    ++damaged_;
    return;
  }
  // An index is a file anyone may edit: a path that could leave the destination is never
  // taken in, so nothing can aim a removal or a replacement at another folder.
  if (!isPlainRelativePath(entry->output)) {
    ++ignored_;
    return;
  }
  tombstones_.erase(entry->output);
  if (const auto it = entries_.find(entry->output); it != entries_.end())
    std::erase(bySource_[lookupKey(it->second.key())], entry->output);
  auto& outputs = bySource_[lookupKey(entry->key())];
  outputs.push_back(entry->output);
  std::string output = entry->output;
  entries_[std::move(output)] = std::move(*entry);
}

std::expected<LibraryIndex::LoadReport, IndexError> LibraryIndex::load(Access access) {
  entries_.clear();
  bySource_.clear();
  tombstones_.clear();
  ignored_ = 0;
  damaged_ = 0;
  LoadReport report;
  const fs::path folder = fs::path(destination_) / kFolderName;
  auto contents = readJournals(folder);
  if (!contents) return std::unexpected(contents.error());
  for (const JournalRecord& record : contents->records) apply(record);
  report.damaged = contents->damagedLines;
  if (contents->files.empty()) {
    if (auto migrated = migrateLegacy(access, report); !migrated) return std::unexpected(migrated.error());
  }
  report.ignored = ignored_;
  report.damaged += damaged_;
  if (access == Access::write) compact(contents->files, contents->records.size());
  return report;
}

std::expected<void, IndexError> LibraryIndex::migrateLegacy(Access access, LoadReport& report) {
  const QString path = QString::fromStdString(destination_ + '/' + kLegacyFileName);
  const auto bytes = json_file::read(path);
  if (!bytes) return {};
  const QJsonDocument document = QJsonDocument::fromJson(*bytes);
  const QJsonValue list = document.isObject() ? document.object().value("entries") : QJsonValue();
  if (!list.isArray()) {
    ++report.damaged;
    if (access == Access::write) json_file::setAside(path);
    return {};
  }
  std::vector<LibraryIndexEntry> legacy;
  for (const QJsonValue& value : list.toArray()) {
    // One unreadable entry costs a re-conversion of its source, not the whole index.
    if (auto entry = legacyEntry(value)) {
      legacy.push_back(std::move(*entry));
    } else {
      ++report.damaged;
    }
  }
  std::vector<JournalRecord> records;
  for (auto& entry : legacy) {
    records.push_back({nextTime(), 'P', entryFields(entry)});
    apply(records.back());
  }
  if (access == Access::write) {
    if (auto written = writeSnapshot(fs::path(destination_) / kFolderName, records); !written)
      return std::unexpected(written.error());
    // Its entries are in the snapshot now, flushed.
    ::unlink((destination_ + '/' + kLegacyFileName).c_str());
  }
  return {};
}

void LibraryIndex::compact(const std::vector<fs::path>& files, std::size_t records) {
  if (files.size() <= kCompactFiles && records <= 2 * entries_.size() + kCompactSlackRecords) return;
  std::vector<JournalRecord> state;
  state.reserve(entries_.size() + tombstones_.size());
  const std::uint64_t oldest =
      wallClockNs() - static_cast<std::uint64_t>(
                          std::chrono::duration_cast<std::chrono::nanoseconds>(kTombstoneLife).count());
  for (const auto& [output, time] : tombstones_) {
    if (time >= oldest) state.push_back({time, 'F', {output}});
  }
  for (const auto& [output, entry] : entries_) state.push_back({entry.time, 'P', entryFields(entry)});
  std::ranges::stable_sort(state, {}, &JournalRecord::time);
  // A fold that fails leaves the journals as they were; the next load tries again.
  [[maybe_unused]] const auto folded =
      compactJournals(fs::path(destination_) / kFolderName, files, state);
}

std::uint64_t LibraryIndex::nextTime() {
  clock_ = std::max(clock_ + 1, wallClockNs());
  return clock_;
}

std::expected<void, IndexError> LibraryIndex::append(const std::vector<JournalRecord>& records) {
  if (!writer_) writer_ = std::make_unique<JournalWriter>(fs::path(destination_) / kFolderName);
  return writer_->append(records);
}

const LibraryIndexEntry* LibraryIndex::at(const std::string& output) const {
  const auto it = entries_.find(output);
  return it == entries_.end() ? nullptr : &it->second;
}

const LibraryIndexEntry* LibraryIndex::current(const SourceKey& key) const {
  const auto found = bySource_.find(lookupKey(key));
  if (found == bySource_.end()) return nullptr;
  const LibraryIndexEntry* newest = nullptr;
  for (const std::string& output : found->second) {
    const LibraryIndexEntry* entry = at(output);
    if (entry && (!newest || entry->time > newest->time)) newest = entry;
  }
  return newest;
}

std::vector<const LibraryIndexEntry*> LibraryIndex::retired(const SourceKey& key) const {
  std::vector<const LibraryIndexEntry*> older;
  const LibraryIndexEntry* newest = current(key);
  if (const auto found = bySource_.find(lookupKey(key)); found != bySource_.end()) {
    for (const std::string& output : found->second) {
      const LibraryIndexEntry* entry = at(output);
      if (entry && entry != newest) older.push_back(entry);
    }
  }
  return older;
}

std::expected<void, IndexError> LibraryIndex::record(LibraryIndexEntry entry) {
  return record(std::vector{std::move(entry)});
}

std::expected<void, IndexError> LibraryIndex::record(std::vector<LibraryIndexEntry> entries) {
  std::vector<JournalRecord> records;
  records.reserve(entries.size());
  for (const LibraryIndexEntry& entry : entries) {
    if (!isPlainRelativePath(entry.output)) return std::unexpected(IndexError{"Record output in index", EINVAL});
    records.push_back({nextTime(), 'P', entryFields(entry)});
  }
  if (auto appended = append(records); !appended) return appended;
  for (const JournalRecord& record : records) apply(record);
  return {};
}

std::expected<void, IndexError> LibraryIndex::forget(const std::string& output) {
  JournalRecord record{nextTime(), 'F', {output}};
  if (auto appended = append({record}); !appended) return appended;
  apply(record);
  return {};
}

void LibraryIndex::close() {
  if (writer_) writer_->close();
  writer_.reset();
}

}  // namespace vexal
