#pragma once

// Mirroring a library into a destination: which sources are up to date there, which of
// the destination's files Vexal made (and may replace or remove), companion files, and
// the stable split of a library into shards.

#include <QString>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "model/conversion_error.h"
#include "model/conversion_settings.h"
#include "persistence/library_index.h"

namespace vexal {

// An output Vexal made earlier from a source, as the index recorded it.
struct PreviousOutput {
  std::filesystem::path path;
  FileStamp stamp;
};

// Whether the source with library path `key` belongs to shard `index` (0-based) of
// `count`: FNV-1a 64 of the key's bytes modulo `count`.
bool inShard(const std::string& key, int index, int count);

// The destination's index and what a mirroring run decides from it.
class LibraryMirror {
 public:
  // Loads the index of `destination`; `settings` give each format's fingerprint.
  LibraryMirror(const std::filesystem::path& destination, const ConversionSettings& settings);

  struct Decision {
    std::optional<FileStamp> sourceStamp;
    std::vector<OutputFormat> convert;              // formats to (re)convert
    std::map<OutputFormat, std::filesystem::path> upToDate;  // outputs kept as they are
    // Earlier outputs of formats to reconvert, still as Vexal wrote them: each may be
    // replaced by its new output.
    std::map<OutputFormat, PreviousOutput> previous;
  };
  // Stats only: the source, and the recorded outputs. A format is up to date when its
  // output exists as written, from a source of the same size and mtime, with the same
  // fingerprint.
  Decision decide(const std::string& key, std::optional<std::int64_t> start,
                  const std::filesystem::path& source, const std::vector<OutputFormat>& formats) const;

  // A finished output; `replaced` is the earlier output of the same source and format,
  // forgotten when the new one went elsewhere.
  void recordOutput(const std::string& key, std::optional<std::int64_t> start, OutputFormat format,
                    const FileStamp& sourceStamp, const std::filesystem::path& output,
                    const std::optional<PreviousOutput>& replaced);

  // An output rewritten after it was recorded (album tags): the index takes its stamp
  // now, so the file is still known as Vexal's own.
  void restampOutput(const std::filesystem::path& output);

  // Removes recorded outputs whose source is gone: a source whose library path starts
  // with one of `roots` (name -> the folder it lies in), is not in `imported` and no
  // longer exists on disk. Only files still as written go; others are kept and named in
  // the answer. Folders left empty go too, up to the destination. Only sources in shard
  // `shardIndex` of `shardCount` are considered.
  struct Cleanup {
    int removed = 0;
    std::vector<std::filesystem::path> kept;  // changed since written
  };
  Cleanup removeOrphans(const std::map<std::string, std::filesystem::path>& roots,
                        const std::set<std::string>& imported, int shardIndex, int shardCount);

  std::expected<void, QString> save() { return index_.save(); }
  bool hasChanges() const { return index_.hasChanges(); }

 private:
  std::string relative(const std::filesystem::path& output) const;

  std::filesystem::path destination_;
  LibraryIndex index_;
  std::map<OutputFormat, std::string> fingerprints_;
};

// Moves the finished `part` to `planned`. When `planned` is `previous`'s path and that
// file is still as written, it is replaced in one rename; otherwise nothing is replaced
// (commitPart). An earlier output elsewhere is removed once the new one is in place.
Expected<std::filesystem::path> commitOver(const std::filesystem::path& part,
                                           const std::filesystem::path& planned,
                                           const std::optional<PreviousOutput>& previous);

// Companions of a source folder (cover and folder art, images, booklets, cue sheets and
// rip logs) copied beside its outputs. An identical file there is left alone; a
// different one is never replaced and is reported.
struct CompanionReport {
  int copied = 0;
  std::vector<std::filesystem::path> conflicts;  // a different file already there
  std::vector<QString> errors;
};
bool isCompanionFile(const std::filesystem::path& path);
void copyCompanions(const std::filesystem::path& sourceFolder,
                    const std::filesystem::path& outputFolder, CompanionReport& report);

}  // namespace vexal
