#pragma once

// One job's conversions on a worker thread: every planned output written, tagged and
// verified under a hidden temporary, then moved into place (through the mirror when the
// batch mirrors a library).

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stop_token>
#include <utility>
#include <vector>

#include "engine/encode_request.h"
#include "model/audio_metadata.h"
#include "model/conversion_error.h"
#include "model/conversion_settings.h"
#include "orchestration/library_mirror.h"

namespace vexal {

// The engine entry; replaceable so tests can inject failures. `tags` is the job's tag
// record, written instead of the source's when given.
using ConvertFunction = std::function<Expected<>(
    const std::filesystem::path& source, const std::filesystem::path& output, OutputFormat format,
    const ConversionSettings& settings, std::optional<std::int64_t> startFrame,
    std::optional<std::int64_t> endFrame, ProgressCallback progress, std::stop_token stop,
    const AudioMetadata* tags, ConversionTally* tally)>;

// What a worker needs for one job: copies, so nothing it reads is shared with the main
// thread (the mirror is thread-safe).
struct WorkItem {
  std::filesystem::path source;
  std::optional<std::int64_t> startFrame;
  std::optional<std::int64_t> endFrame;
  std::vector<std::pair<OutputFormat, std::filesystem::path>> outputs;
  ConversionSettings settings;
  std::optional<AudioMetadata> metadata;
  ConvertFunction convert;
  std::stop_token stop;
  // Mirroring: the run's mirror, the source as it knows it, and per format the earlier
  // output a new one may replace and a file at the planned name that may be adopted.
  std::shared_ptr<LibraryMirror> mirror;
  MirrorSource mirrorSource;
  std::optional<FileStamp> sourceStamp;
  std::map<OutputFormat, PreviousOutput> previous;
  std::map<OutputFormat, std::filesystem::path> adoptable;
  std::map<OutputFormat, MirrorReason> reasons;
  // The album the index records the source's loudness under, for album values worked
  // out in later runs; empty when none.
  std::string albumKey;
  bool dryRun = false;  // report what would be done; write nothing
};

// One planned output of a finished job: kept under `path`, or failed with `error` (then
// `path` is the planned one and nothing is on disk).
struct OutputOutcome {
  OutputFormat format;
  std::filesystem::path path;
  std::optional<ConversionError> error;
  double duration = 0;  // seconds this output took
  std::optional<std::int64_t> size;
  std::optional<MeasuredLoudness> loudness;  // when ReplayGain values were asked for
  bool adopted = false;  // an existing file taken over instead of converting
};

struct JobOutcome {
  // The job's: the first failed output's error, labelled with its format; cancelled
  // jobs keep nothing.
  std::optional<ConversionError> error;
  std::vector<OutputOutcome> outputs;  // in conversion order
  std::optional<std::int64_t> sourceSize;
  std::vector<MirrorAction> actions;  // what a mirroring run did (or would do)
};

// A job's progress across its outputs: which output is being written and the job's
// fraction, 0 ... 1 over all of them.
using JobProgress = std::function<void(std::size_t output, double fraction)>;

// A failed format does not stop the others; at the end the finished outputs are moved to
// their real names, unless the job was cancelled: then nothing of it stays. `onWritten`
// is told of each output in place.
JobOutcome runJob(const WorkItem& item, const JobProgress& progress,
                  const std::function<void(OutputFormat, const std::filesystem::path&)>& onWritten);

// Whether the file at `candidate` is what converting `item` into `format` would write:
// it decodes whole, in that format, with the expected channels and length.
bool matchesConversion(const WorkItem& item, OutputFormat format,
                       const std::filesystem::path& candidate);

// Processor cores this process may run on (its affinity mask), at least 1.
int availableCores();
// Threads for a job starting while `running` jobs (itself included) run and `queued`
// wait, at most `limit` at once: 2 (reading beside encoding) while fewer jobs than
// `cores` run at once, else 1.
int jobThreads(int limit, int running, int queued, int cores);

}  // namespace vexal
