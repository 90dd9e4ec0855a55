#include "orchestration/job_runner.h"

#include <sched.h>

#include <QThread>
#include <algorithm>
#include <cerrno>
#include <cmath>

#include "engine/audio_file_info.h"
#include "engine/encoder_limits.h"
#include "orchestration/mirror_albums.h"
#include "orchestration/output_files.h"
#include "orchestration/verification.h"
#include "platform/audio_file.h"

namespace vexal {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::string_view kVerificationFailed = "Verification failed: ";

std::optional<std::int64_t> sizeOf(const fs::path& path) {
  std::error_code error;
  const auto size = fs::file_size(path, error);
  if (error) return std::nullopt;
  return static_cast<std::int64_t>(size);
}

std::uint32_t storedFormatOf(OutputFormat format) {
  using namespace platform;
  switch (format) {
    case OutputFormat::aac: return FormatID::kAAC;
    case OutputFormat::alac: return FormatID::kALAC;
    case OutputFormat::flac: return FormatID::kFLAC;
    case OutputFormat::mp3: return FormatID::kMP3;
    case OutputFormat::opus: return FormatID::kOpus;
    case OutputFormat::vorbis: return FormatID::kVorbis;
    case OutputFormat::wav:
    case OutputFormat::aiff: return FormatID::kLinearPCM;
  }
  return FormatID::kOther;
}

// Converts one output into a locked temporary beside `planned`, tagged and verified there.
Expected<> convertOne(const WorkItem& item, OutputFormat format, const PartFile& part,
                      const ProgressCallback& progress, ConversionTally& tally) {
  auto result = item.convert(item.source, part.path(), format, item.settings, item.startFrame,
                             item.endFrame, progress, item.stop,
                             item.metadata ? &*item.metadata : nullptr, &tally);
  if (!result || !item.settings.verifyAfterConversion) return result;
  // A lossy output measured for ReplayGain was decoded by the engine already.
  const VerificationResult verified = tally.decoded ? *tally.decoded : verifyOutput(part.path(), item.stop);
  if (item.stop.stop_requested()) return Unexpected(ConversionError::cancelled());
  if (const auto failure = verificationFailure(verified, tally)) {
    return Unexpected(
        ConversionError::unsupportedFormat(std::string(kVerificationFailed) + *failure));
  }
  return {};
}

// A mirror writes only into folders below its destination reached without links.
std::optional<ConversionError> outsideDestination(const WorkItem& item, const fs::path& planned) {
  if (!item.mirror) return std::nullopt;
  const DestinationTree& tree = item.mirror->store().tree();
  const auto relative = tree.relativeOf(planned);
  if (!relative) return ConversionError::extAudioFileError("Open output folder", -EINVAL);
  // A dry run made no folders: one missing is one the real run makes.
  if (auto folder = tree.openParent(*relative); !folder && !(item.dryRun && folder.error() == ENOENT))
    return ConversionError::extAudioFileError("Open output folder", -folder.error());
  return std::nullopt;
}

}  // namespace

bool matchesConversion(const WorkItem& item, OutputFormat format, const fs::path& candidate) {
  const auto source = readAudioFileInfo(item.source);
  const auto output = readAudioFileInfo(candidate);
  if (!source || !output || source->sampleRate <= 0) return false;
  if (output->formatID != storedFormatOf(format)) return false;
  if (output->channels != encoderShape(format, item.settings, *source).channels) return false;
  const VerificationResult decoded = verifyOutput(candidate, item.stop);
  if (!decoded.decodable || decoded.damaged || decoded.sampleRate <= 0) return false;
  const auto range = item.endFrame.value_or(source->totalFrames) - item.startFrame.value_or(0);
  const double expected = static_cast<double>(range) * decoded.sampleRate / source->sampleRate;
  // Rate conversion may round the length by a frame or two.
  const double tolerance = std::max(2.0, expected * 1e-3);
  const auto frames = static_cast<double>(decoded.frames);
  if (item.settings.trimSilence) return frames > 0 && frames <= expected + tolerance;
  return std::abs(frames - expected) <= tolerance;
}

JobOutcome runJob(const WorkItem& item, const JobProgress& progress,
                  const std::function<void(OutputFormat, const fs::path&)>& onWritten) {
  JobOutcome outcome;
  outcome.sourceSize = sizeOf(item.source);
  struct Finished {
    OutputFormat format;
    std::unique_ptr<PartFile> part;
    fs::path planned;
    double duration;
    std::optional<MeasuredLoudness> loudness;
  };
  std::vector<Finished> finished;
  bool cancelled = false;
  const auto fail = [&](OutputFormat format, const fs::path& planned, ConversionError error,
                        double duration) {
    outcome.outputs.push_back({format, planned, std::move(error), duration, std::nullopt, std::nullopt, false});
  };
  const std::string& library = item.mirrorSource.libraryPath;
  const auto reasonOf = [&](OutputFormat format) {
    const auto reason = item.reasons.find(format);
    return reason == item.reasons.end() ? MirrorReason::newSource : reason->second;
  };
  const auto writeAction = [&](OutputFormat format, const fs::path& output) {
    const bool replacing = item.previous.contains(format);
    outcome.actions.push_back({replacing ? MirrorActionKind::replace : MirrorActionKind::convert,
                               reasonOf(format), library, output});
  };

  const double count = static_cast<double>(item.outputs.size());
  for (std::size_t index = 0; index < item.outputs.size(); ++index) {
    const auto& [format, planned] = item.outputs[index];
    if (item.stop.stop_requested()) {
      cancelled = true;
      break;
    }
    // Output k of n at p is (k + p) / n of the job, so the job's bar never runs back.
    progress(index, static_cast<double>(index) / count);
    const ProgressCallback outputProgress = [&progress, index, count](double value) {
      progress(index, (static_cast<double>(index) + std::clamp(value, 0.0, 1.0)) / count);
    };
    if (auto refused = outsideDestination(item, planned)) {
      fail(format, planned, std::move(*refused), 0);
      continue;
    }
    if (const auto candidate = item.adoptable.find(format);
        item.mirror && candidate != item.adoptable.end() &&
        matchesConversion(item, format, candidate->second)) {
      outcome.actions.push_back({MirrorActionKind::adopt, reasonOf(format), library, candidate->second});
      if (!item.dryRun) {
        if (auto adopted = item.mirror->adopt(item.mirrorSource, format,
                                              item.sourceStamp.value_or(FileStamp{}), candidate->second);
            !adopted) {
          fail(format, planned, std::move(adopted.error()), 0);
          continue;
        }
        onWritten(format, candidate->second);
      }
      outcome.outputs.push_back({format, candidate->second, std::nullopt, 0, sizeOf(candidate->second),
                                 std::nullopt, true});
      continue;
    }
    if (item.dryRun) {
      writeAction(format, planned);
      outcome.outputs.push_back({format, planned, std::nullopt, 0, std::nullopt, std::nullopt, false});
      continue;
    }
    const auto started = Clock::now();
    auto part = std::make_unique<PartFile>(planned);
    ConversionTally tally;
    auto result = convertOne(item, format, *part, outputProgress, tally);
    const double duration = std::chrono::duration<double>(Clock::now() - started).count();
    if (!result) {
      part->discard();
      if (result.error().kind() == ConversionError::Kind::cancelled) {
        cancelled = true;
        break;
      }
      fail(format, planned, std::move(result.error()), duration);
      continue;
    }
    finished.push_back({format, std::move(part), planned, duration, std::move(tally.loudness)});
  }

  if (cancelled || item.stop.stop_requested()) {
    for (auto& output : finished) output.part->discard();
    outcome.error = ConversionError::cancelled();
    outcome.outputs.clear();
    outcome.actions.clear();
    return outcome;
  }
  for (auto& output : finished) {
    const fs::path& part = output.part->path();
    Expected<fs::path> committed = fs::path();
    if (item.mirror) {
      const auto previous = item.previous.find(output.format);
      std::string loudness;
      if (output.loudness && !item.albumKey.empty()) {
        loudness = encodeTrackLoudness(
            {item.albumKey, output.loudness->peak, LoudnessHistogram::of(output.loudness->blockPowers)});
      }
      committed = item.mirror->commit(
          item.mirrorSource, output.format, item.sourceStamp.value_or(FileStamp{}), part,
          output.planned,
          previous == item.previous.end() ? std::nullopt : std::optional(previous->second),
          std::move(loudness));
    } else {
      committed = commitPart(part, output.planned);
    }
    if (!committed) {
      output.part->discard();
      fail(output.format, output.planned, std::move(committed.error()), output.duration);
      continue;
    }
    if (item.mirror) writeAction(output.format, *committed);
    onWritten(output.format, *committed);
    outcome.outputs.push_back({output.format, *committed, std::nullopt, output.duration,
                               sizeOf(*committed), output.loudness, false});
  }
  // Kept and failed outputs in conversion order, as the history lists them.
  std::ranges::stable_sort(outcome.outputs, {}, [&](const OutputOutcome& output) {
    return std::ranges::find(item.outputs, output.format,
                             &std::pair<OutputFormat, fs::path>::first) -
           item.outputs.begin();
  });
  // The first failure names its format, unless every output failed alike (a source that
  // cannot be read, say), where a format name would mislead.
  const auto failed = std::ranges::find_if(
      outcome.outputs, [](const OutputOutcome& output) { return output.error.has_value(); });
  if (failed != outcome.outputs.end()) {
    const bool alike = std::ranges::all_of(outcome.outputs, [&](const OutputOutcome& output) {
      return output.error == failed->error;
    });
    outcome.error =
        alike ? *failed->error : failed->error->labelled(std::string(displayName(failed->format)));
  }
  return outcome;
}

int availableCores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return count;
  }
  return std::max(1, QThread::idealThreadCount());
}

// One long file, an album image or a batch's last jobs leave cores idle; a full batch
// keeps one thread per job, so its CPU time does not grow.
int jobThreads(int limit, int running, int queued, int cores) {
  return std::min(limit, running + queued) < cores ? 2 : 1;
}

}  // namespace vexal
