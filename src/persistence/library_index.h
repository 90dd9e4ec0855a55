#pragma once

#include <QString>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "persistence/index_journal.h"

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

// A path that stays below the folder it is taken from: relative, made of plain
// components (no empty one, no "." or ".."), no NUL, at most 4096 bytes.
bool isPlainRelativePath(std::string_view path);

// The format of a companion file's entry (cover art, booklets, logs copied beside outputs).
inline constexpr std::string_view kCompanionFormat = "companion";

// Which source (and which of its formats) an entry describes.
struct SourceKey {
  std::string source;                 // library path of the file, or of the cue sheet
  std::optional<std::int64_t> start;  // first frame of a cue track, in indexes made before
                                      // tracks were keyed by number
  std::optional<std::int64_t> track;  // cue-sheet track number
  std::string format;
  bool operator==(const SourceKey&) const = default;
};

// One file Vexal wrote into a destination, and what it was made from. Paths are bytes.
struct LibraryIndexEntry {
  std::string output;  // relative to the destination
  std::string source;  // library path: relative to the parent of the folder given for import
  std::optional<std::int64_t> start;
  std::optional<std::int64_t> track;
  std::string format;  // OutputFormat raw value, or kCompanionFormat
  FileStamp sourceStamp;
  std::string fingerprint;  // outputFingerprint of the settings that made it
  FileStamp outputStamp;    // as written, or as last seen with the same audio
  // Of the audio as written (a hash of its encoded packets; of the whole file for a
  // companion): tag edits leave it unchanged, so a retagged output is still Vexal's.
  std::optional<std::uint64_t> identity;
  // The audio this output replaced under the same name; a file still holding it is an
  // update that did not happen (a killed run) and is Vexal's to replace.
  std::optional<std::uint64_t> previousIdentity;
  std::string detail;    // a cue track: its image, range and tags, as one digest
  std::string loudness;  // the output's loudness measurement, for album gain
  std::uint64_t time = 0;  // when it was recorded (index clock); not compared

  SourceKey key() const { return {source, start, track, format}; }
  bool operator==(const LibraryIndexEntry& other) const;
};

// The outputs Vexal made in one destination: the folder ".vexal-index" there, a journal
// per writing process (see index_journal.h). Records are durable when `record` returns,
// so callers record an output before it appears under its name. Several processes may
// write one index at once; each sees the others' records at its next load. Not
// thread-safe; one owner at a time.
class LibraryIndex {
 public:
  static constexpr const char* kFolderName = ".vexal-index";
  // The single JSON file earlier versions kept; read once and folded into the journals.
  static constexpr const char* kLegacyFileName = ".vexal-index.json";

  explicit LibraryIndex(std::string destination);
  ~LibraryIndex();
  LibraryIndex(const LibraryIndex&) = delete;
  LibraryIndex& operator=(const LibraryIndex&) = delete;

  enum class Access { readOnly, write };
  struct LoadReport {
    int ignored = 0;  // entries naming a path outside the destination: never acted on
    int damaged = 0;  // records that could not be read (each costs one source at most)
  };
  // Reads every journal. With write access a damaged earlier index file is set aside and
  // finished journals are folded into one snapshot when there are many.
  std::expected<LoadReport, IndexError> load(Access access = Access::write);

  const std::map<std::string, LibraryIndexEntry>& entries() const { return entries_; }
  const LibraryIndexEntry* at(const std::string& output) const;
  // The newest entry of `key`, and the older ones still recorded (outputs an update left
  // behind when it was interrupted).
  const LibraryIndexEntry* current(const SourceKey& key) const;
  std::vector<const LibraryIndexEntry*> retired(const SourceKey& key) const;

  // Durable on return: the caller may then put the file in place.
  std::expected<void, IndexError> record(LibraryIndexEntry entry);
  // Many at once, in one write flushed once.
  std::expected<void, IndexError> record(std::vector<LibraryIndexEntry> entries);
  std::expected<void, IndexError> forget(const std::string& output);
  // Ends this process's journal cleanly.
  void close();

  const std::string& destination() const { return destination_; }

 private:
  void apply(const JournalRecord& record);
  std::expected<void, IndexError> append(const std::vector<JournalRecord>& records);
  std::uint64_t nextTime();
  std::expected<void, IndexError> migrateLegacy(Access access, LoadReport& report);
  void compact(const std::vector<std::filesystem::path>& files, std::size_t records);

  std::string destination_;
  std::map<std::string, LibraryIndexEntry> entries_;  // by output
  std::unordered_map<std::string, std::vector<std::string>> bySource_;  // key -> outputs
  std::map<std::string, std::uint64_t> tombstones_;   // forgotten outputs -> when
  std::uint64_t clock_ = 0;
  int ignored_ = 0;
  int damaged_ = 0;  // records of a readable line that make no entry
  std::unique_ptr<JournalWriter> writer_;
};

}  // namespace vexal
