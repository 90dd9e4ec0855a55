#pragma once

// The storage of a destination's index: a folder of append-only journals, one per
// writing process, merged on read. A record is durable (fdatasync) before the caller acts
// on it, so a process killed at any instant leaves the index describing every file it
// put in place. Writers never share a file, so shards on several machines need no
// cross-host lock to keep each other's records.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vexal {

// A failed file operation on the index: what was done, and the errno.
struct IndexError {
  std::string step;  // "Write index journal"
  int error = 0;
  std::string text() const;  // "Write index journal: No space left on device"
};

// A place where a crash must leave the destination consistent. With VEXAL_FAULT_KILL=n
// in the environment the process kills itself (SIGKILL) at the n-th such place it
// reaches: how the crash tests stop a run at every step of an update.
void faultPoint();

// A short tag of this host's name (8 hex digits in file names), telling files of this host
// from those of other machines sharing a folder.
std::uint32_t hostTag();

// One line of a journal: a time (a Lamport clock in nanoseconds: at least the wall clock,
// later than every record its writer had seen), an operation and its fields. Fields are
// bytes; the line carries its own hash, so a torn or damaged line is recognised and
// skipped alone.
struct JournalRecord {
  std::uint64_t time = 0;
  char op = 0;  // 'P' put, 'F' forget, 'E' the writer ended cleanly
  std::vector<std::string> fields;
  bool operator==(const JournalRecord&) const = default;
};

std::string encodeRecord(const JournalRecord& record);
// Nothing for a line that is torn, damaged or of an unknown form.
std::optional<JournalRecord> decodeRecord(std::string_view line);

// What reading a journal folder found: every record in replay order (time, then file,
// then line), and how many lines could not be read.
struct JournalContents {
  std::vector<JournalRecord> records;
  int damagedLines = 0;
  std::uint64_t latestTime = 0;
  std::vector<std::filesystem::path> files;  // the journals read
};
// Reads every journal of `folder`; a missing folder is an empty index. A file that
// vanishes while it is read (folded by another writer) makes the whole read start again.
std::expected<JournalContents, IndexError> readJournals(const std::filesystem::path& folder);

// The journal this process appends to, made on its first record. Holds an exclusive flock
// on its file for its life, so that other writers on this host (and on hosts whose file
// system carries locks) know it is alive.
class JournalWriter {
 public:
  explicit JournalWriter(std::filesystem::path folder);
  ~JournalWriter();
  JournalWriter(const JournalWriter&) = delete;
  JournalWriter& operator=(const JournalWriter&) = delete;

  // Appends and flushes to the disk; the error names what failed. A journal removed by
  // someone else meanwhile is started again with every record this writer made.
  std::expected<void, IndexError> append(const std::vector<JournalRecord>& records);
  // Marks the journal as ended, so any writer may fold it at once.
  void close();

 private:
  std::expected<void, IndexError> open();
  std::expected<void, IndexError> write(const std::string& bytes);

  std::filesystem::path folder_;
  std::filesystem::path path_;
  int fd_ = -1;
  std::string written_;  // every record of this writer, to start again from
};

// Whether a journal in `folder` may be folded into a snapshot and removed: its writer
// ended cleanly, or is certainly dead (its lock is free and it ran on this host, or it has
// not been written to for a day).
bool journalIsFinished(const std::filesystem::path& journal);

// Writes `records` as one snapshot file of `folder`, flushed, under its name only once
// complete.
std::expected<void, IndexError> writeSnapshot(const std::filesystem::path& folder,
                                               const std::vector<JournalRecord>& records);

// Replaces the finished journals of `folder` by one snapshot holding `records` (the
// merged state), written and flushed before anything is removed. Journals still being
// written stay. Returns the number of files removed.
std::expected<int, IndexError> compactJournals(const std::filesystem::path& folder,
                                                const std::vector<std::filesystem::path>& read,
                                                const std::vector<JournalRecord>& records);

}  // namespace vexal
