#pragma once

#include <QString>
#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>

namespace vexal {

// Size and modification time of a file, as stat reports them; what tells an unchanged
// file from a changed one without reading it.
struct FileStamp {
  std::int64_t size = 0;
  std::int64_t mtimeNs = 0;  // nanoseconds since the epoch
  bool operator==(const FileStamp&) const = default;
};
// Nothing when `path` is missing or not a regular file (links are not followed).
std::optional<FileStamp> stampOf(const std::string& path);

// One output Vexal wrote into a destination, and what it was made from. Paths are bytes.
struct LibraryIndexEntry {
  std::string output;  // relative to the destination
  std::string source;  // relative to the parent of the folder (or file) given for import
  std::optional<std::int64_t> start;  // first frame of a cue-sheet track
  std::string format;                 // OutputFormat raw value
  FileStamp sourceStamp;
  std::string fingerprint;  // outputFingerprint of the settings that made it
  FileStamp outputStamp;    // as written; a file that no longer matches is the user's
  bool operator==(const LibraryIndexEntry&) const = default;
};

// ".vexal-index.json" in a destination folder: the outputs Vexal made there. Several
// processes (shards of one library on several machines) may write one index: a save
// merges under the same lock discipline as the other stores, so nobody's entries are
// lost. Not thread-safe; one owner at a time.
class LibraryIndex {
 public:
  static constexpr const char* kFileName = ".vexal-index.json";

  explicit LibraryIndex(std::string destination);

  // Reads the file; a file that does not decode is set aside and the index starts empty.
  void load();
  const std::map<std::string, LibraryIndexEntry>& entries() const { return entries_; }
  // The entry for one source (and cue track) in one format, or nothing.
  const LibraryIndexEntry* find(const std::string& source, std::optional<std::int64_t> start,
                                const std::string& format) const;
  // Both take effect now and on disk at the next save. Recording replaces the entry of
  // the same source and format.
  void record(LibraryIndexEntry entry);
  void forget(const std::string& output);
  bool hasChanges() const { return !recorded_.empty() || !forgotten_.empty(); }
  // Read–merge–write: what is on disk, plus this process's records, minus what it forgot.
  std::expected<void, QString> save();

  const std::string& destination() const { return destination_; }

 private:
  static std::string lookupKey(const std::string& source, std::optional<std::int64_t> start,
                               const std::string& format);
  void insert(LibraryIndexEntry entry);
  void erase(const std::string& output);

  std::string destination_;
  std::map<std::string, LibraryIndexEntry> entries_;          // by output
  std::unordered_map<std::string, std::string> bySource_;     // lookupKey -> output
  std::map<std::string, LibraryIndexEntry> recorded_;         // unsaved, by output
  std::set<std::string> forgotten_;                           // unsaved removals
};

}  // namespace vexal
