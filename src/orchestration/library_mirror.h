#pragma once

// Mirroring a library into a destination: which sources are up to date there, what each
// run converts, replaces, adopts and removes, and why. The files themselves enter and
// leave the destination only through MirrorStore.

#include <QString>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "model/conversion_error.h"
#include "model/conversion_settings.h"
#include "orchestration/mirror_store.h"

namespace vexal {

// How the mirror knows one job's source.
struct MirrorSource {
  std::string libraryPath;            // of the file; of the cue sheet for a track
  std::optional<std::int64_t> track;  // a cue track's number
  std::filesystem::path file;         // whose stamp counts: the source, or a track's image
  std::string detail;                 // a cue track's image, range and tags, as one digest
  // A cue track as indexes keyed it before tracks had numbers: the image and start frame.
  std::string imagePath;
  std::optional<std::int64_t> start;

  SourceKey keyFor(std::string_view format) const { return {libraryPath, std::nullopt, track, std::string(format)}; }
  // The album the source belongs to, which shards never split: its folder, or its sheet.
  std::string shardKey() const;
};

// Why the mirror acts on a file.
enum class MirrorReason {
  newSource,      // "new"
  sourceChanged,  // "source changed"
  settingsChanged,
  outputMissing,
  outputChanged,  // the user changed it: kept, the new one goes beside it
  interrupted,    // an update that a killed run left undone
  orphan,         // its source is gone
};
std::string_view reasonText(MirrorReason reason);

enum class MirrorActionKind { convert, replace, adopt, copy, update, remove, keep };
std::string_view actionText(MirrorActionKind kind);

// One thing a mirroring run does (or, in a dry run, would do).
struct MirrorAction {
  MirrorActionKind kind;
  MirrorReason reason;
  std::string source;  // library path
  std::filesystem::path output;
  bool operator==(const MirrorAction&) const = default;
};

// An output Vexal made earlier from a source, still its own: the new one may replace it.
struct PreviousOutput {
  std::filesystem::path path;
  LibraryIndexEntry entry;
};

class LibraryMirror {
 public:
  struct Options {
    bool dryRun = false;
    int shardIndex = 0;  // 0-based
    int shardCount = 1;
  };
  // `settings` give each format's fingerprint.
  LibraryMirror(const std::filesystem::path& destination, const ConversionSettings& settings,
                Options options);

  MirrorStore& store() { return store_; }
  const Options& options() const { return options_; }

  struct Decision {
    std::optional<FileStamp> sourceStamp;
    std::vector<OutputFormat> convert;                       // formats to (re)convert
    std::map<OutputFormat, std::filesystem::path> upToDate;  // outputs kept as they are
    std::map<OutputFormat, PreviousOutput> previous;         // replaceable earlier outputs
    std::map<OutputFormat, MirrorReason> reasons;            // of the formats to convert
    std::vector<std::filesystem::path> changedByUser;        // kept; the new one goes beside
  };
  // Stats only on the fast path: the source and the recorded outputs; an output whose
  // stamp moved is read once to see whether its audio is still Vexal's (then its new
  // stamp is recorded). Files an interrupted update left are removed here.
  Decision decide(const MirrorSource& source, const std::vector<OutputFormat>& formats);

  // A finished output of `source` in `format` (its temporary `part` beside `planned`)
  // put in place: recorded first, then renamed over `previous` when that is its name, or
  // under `planned` (or the next free name). Earlier outputs elsewhere are removed once
  // it is there. Returns the path taken.
  Expected<std::filesystem::path> commit(const MirrorSource& source, OutputFormat format,
                                         const FileStamp& sourceStamp,
                                         const std::filesystem::path& part,
                                         const std::filesystem::path& planned,
                                         const std::optional<PreviousOutput>& previous,
                                         std::string loudness = {});
  // An output already at its planned name (an index was lost) taken as this source's.
  Expected<void> adopt(const MirrorSource& source, OutputFormat format, const FileStamp& sourceStamp,
                       const std::filesystem::path& output);
  // An output rewritten after it was recorded (album tags): its audio is unchanged, so it
  // is recorded with its new stamp.
  void restamp(const std::filesystem::path& output);

  // What --delete looks at: the roots given (name -> the folder it lies in) and what this
  // run imported from them.
  struct OrphanScope {
    std::map<std::string, std::filesystem::path> roots;
    std::set<std::string> sources;  // library paths of files imported
    std::set<std::string> sheets;   // of cue sheets read
    std::set<std::pair<std::string, std::int64_t>> tracks;  // (sheet, track) imported
  };
  struct Cleanup {
    int removed = 0;
    std::vector<std::filesystem::path> kept;  // changed since written
    std::vector<MirrorAction> actions;
  };
  // Removes recorded files whose source is gone (a cue track also when its sheet no
  // longer lists it), in this run's shard, when they are still as Vexal wrote them; the
  // folders that leaves empty go too.
  Cleanup removeOrphans(const OrphanScope& scope);

 private:
  // The entry of `source`'s output in `format` at `output`, its identity read from `file`.
  LibraryIndexEntry entryFor(const MirrorSource& source, OutputFormat format,
                             const FileStamp& sourceStamp, const std::string& output,
                             const std::filesystem::path& file) const;

  MirrorStore store_;
  Options options_;
  std::map<OutputFormat, std::string> fingerprints_;
};

// A mirror opened ahead of its batch, on a thread of its own: the destination taken and
// its index read while the sources are still being walked (a library of 200 000 files
// takes seconds for each).
class PreparedMirror {
 public:
  // `onWait` is called on the opening thread while another run holds the destination.
  PreparedMirror(const std::filesystem::path& destination, const ConversionSettings& settings,
                 LibraryMirror::Options options, std::function<void()> onWait);
  PreparedMirror(const PreparedMirror&) = delete;
  PreparedMirror& operator=(const PreparedMirror&) = delete;
  ~PreparedMirror();  // stops a wait for the destination and joins

  const std::shared_ptr<LibraryMirror>& mirror() const { return mirror_; }
  // What MirrorStore::open returned, once it has; `stop` ends a wait for the destination.
  std::expected<LibraryIndex::LoadReport, QString> opened(std::stop_token stop);

 private:
  std::shared_ptr<LibraryMirror> mirror_;
  std::expected<LibraryIndex::LoadReport, QString> result_;
  std::jthread thread_;
};

// The folder part of a library path ("Album/CD1/01.flac" -> "Album/CD1"; "" for a name).
std::string libraryFolderOf(const std::string& libraryPath);

// Shard key of a recorded entry: as MirrorSource::shardKey of its source.
std::string shardKeyOf(const LibraryIndexEntry& entry);

}  // namespace vexal
