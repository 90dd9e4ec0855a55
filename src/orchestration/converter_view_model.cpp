#include "orchestration/converter_view_model.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QStandardPaths>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <set>
#include <unordered_set>
#include <utility>

#include "engine/audio_file_info.h"
#include "engine/audio_processor.h"
#include "engine/loudness.h"
#include "metadata/metadata_service.h"
#include "orchestration/desktop_notice.h"
#include "persistence/conversion_history.h"
#include "persistence/preset_manager.h"
#include "model/input_formats.h"
#include "sources/path_text.h"
#include "platform/logging.h"
#include "sources/cue_sheet.h"
#include "sources/watch_folder_service.h"

namespace vexal {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr auto kDesktopEntry = "io.github.vexal.Vexal";
constexpr std::string_view kVerificationFailed = "Verification failed: ";
// Metadata preload reads are short and mostly wait on the disk; they get a few threads
// beside the conversions.
constexpr int kPreloadThreads = 4;
// A mirroring run writes its index at most this often while converting (and at its end),
// so a killed run forgets at most this much of its work.
constexpr int kIndexSaveIntervalMs = 1000;

const std::set<std::string>& acceptedExtensionsUtf8() { return acceptedInputExtensions(); }

// Lower-cased extension without the dot ("MP3" -> "mp3"), ASCII only like the set it is
// compared with.
std::string duplicateKey(const fs::path& source, const std::optional<std::int64_t>& startFrame) {
  return source.string() + "_" + (startFrame ? std::to_string(*startFrame) : std::string("-1"));
}

QString musicFolder() {
  const QStringList folders = QStandardPaths::standardLocations(QStandardPaths::MusicLocation);
  if (!folders.isEmpty()) return folders.front();
  return QDir::home().filePath(QStringLiteral("Music"));
}

std::optional<qint64> sizeOf(const fs::path& path) {
  std::error_code error;
  const auto size = fs::file_size(path, error);
  if (error) return std::nullopt;
  return static_cast<qint64>(size);
}

void logCueFailure(const QString& description) {
  platform::log(platform::LogCategory::conversion, platform::LogLevel::error,
                ("Cue sheet parse failed: " + description).toStdString());
}

QString toQString(const fs::path& path) {
  return QString::fromStdString(path.string());
}

// What a worker needs for one job: copies, so nothing it reads is shared with the
// main thread.
struct WorkItem {
  fs::path source;
  std::optional<std::int64_t> startFrame;
  std::optional<std::int64_t> endFrame;
  std::vector<std::pair<OutputFormat, fs::path>> outputs;
  ConversionSettings settings;
  std::optional<AudioMetadata> metadata;
  ConverterViewModel::ConvertFunction convert;
  std::stop_token stop;
  // Earlier outputs of this source that the new ones may replace.
  std::map<OutputFormat, PreviousOutput> previous;
};

// Progress from a worker, folded so that at most one update per job waits in the
// main thread's queue; the update applies the latest value.
struct ProgressRelay {
  std::atomic<double> latest{0.0};
  std::atomic<bool> posted{false};
};

// The album a job belongs to for album ReplayGain: the tracks of one folder with the
// same album tag, or the tracks of one cue-sheet image that names no album. None for a
// plain file without an album tag. `byFolder`: every track of one source folder, tags
// or not.
std::optional<std::string> albumKey(const ConversionJob& job, bool byFolder) {
  const std::string folder = job.sourceURL().parent_path().string() + '\n';
  if (byFolder) return folder;
  const auto& metadata = job.metadata();
  if (metadata && metadata->album && !metadata->album->empty()) return folder + *metadata->album;
  if (job.startFrame() || job.endFrame()) return folder + "\ncue\n" + job.sourceURL().filename().string();
  return std::nullopt;
}

// The outputs of one album in a batch, gathered as its tracks finish.
struct AlbumGroup {
  struct Track {
    OutputFormat format;
    fs::path path;
    MeasuredLoudness loudness;
  };
  int pending = 0;       // tracks not finished yet
  bool spoiled = false;  // a track failed or lacks a measurement: no album values
  std::vector<Track> tracks;
};

// Album values per format from the pooled gating blocks of every track (not an average
// of track gains), then the outputs to tag with them.
std::vector<std::tuple<OutputFormat, fs::path, ReplayGainTags>> albumTags(const AlbumGroup& album) {
  std::map<OutputFormat, GainMeasure> measures;
  for (const auto& format : kAllOutputFormats) {
    std::vector<double> blocks;
    double peak = 0;
    bool any = false;
    for (const auto& track : album.tracks) {
      if (track.format != format) continue;
      any = true;
      blocks.insert(blocks.end(), track.loudness.blockPowers.begin(), track.loudness.blockPowers.end());
      peak = std::max(peak, track.loudness.peak);
    }
    const double lufs = integratedLoudness(blocks);
    if (any && lufs > -100.0) measures[format] = GainMeasure{lufs, peak};
  }
  std::vector<std::tuple<OutputFormat, fs::path, ReplayGainTags>> tags;
  for (const auto& track : album.tracks) {
    if (const auto measure = measures.find(track.format); measure != measures.end()) {
      tags.emplace_back(track.format, track.path, ReplayGainTags{{}, measure->second});
    }
  }
  return tags;
}

}  // namespace

struct ConverterViewModel::Batch {
  ConversionSettings settings;
  QString destination;
  std::vector<OutputFormat> formats;
  std::vector<JobPtr> jobs;
  std::vector<JobPlan> plans;
  ConvertFunction convert;
  std::stop_source stop;
  int limit = 1;
  int total = 0;
  int completed = 0;
  int running = 0;
  int started = 0;
  std::size_t nextPlan = 0;
  int preloadPending = 0;
  std::vector<fs::path> createdFolders;  // sub-folders planning made, parents first
  std::unique_ptr<DestinationFolders> folders;
  std::map<std::string, AlbumGroup> albums;  // with "Write ReplayGain tags", by albumKey
  std::map<Uuid, std::string> albumOfJob;
  // Mirroring ("skip files already converted"): the destination's index, and per job
  // what it decided.
  std::unique_ptr<LibraryMirror> mirror;
  std::map<Uuid, LibraryMirror::Decision> decisions;
  bool indexSaveScheduled = false;
  // Folders with a source skipped as up to date: their albums are not whole in this
  // batch, so album values measured here would be wrong.
  std::set<fs::path> foldersWithSkipped;
};

// One planned output of a finished job: kept under `path`, or failed with `error` (then
// `path` is the planned one and nothing is on disk).
struct OutputOutcome {
  OutputFormat format;
  fs::path path;
  std::optional<ConversionError> error;
  double duration = 0;  // seconds this output took
  std::optional<qint64> size;
  std::optional<MeasuredLoudness> loudness;  // when ReplayGain values were asked for
};

struct ConverterViewModel::JobOutcome {
  // The job's: the first failed output's error, labelled with its format; cancelled
  // jobs keep nothing.
  std::optional<ConversionError> error;
  std::vector<OutputOutcome> outputs;  // in conversion order
  std::optional<qint64> sourceSize;
};

namespace {

// Converts one job's outputs one after the other on the calling worker thread, each
// into a hidden temporary (tagged and verified there). A failed output does not stop the
// others; at the end the finished ones are moved to their real names, unless the job was
// cancelled: then nothing of it stays.
template <typename Outcome, typename OnWritten>
Outcome runJob(const WorkItem& item, const ProgressCallback& progress, OnWritten onWritten) {
  Outcome outcome;
  outcome.sourceSize = sizeOf(item.source);
  struct Finished {
    OutputFormat format;
    fs::path part;
    fs::path planned;
    double duration;
    std::optional<MeasuredLoudness> loudness;
  };
  std::vector<Finished> finished;
  bool cancelled = false;
  const auto fail = [&](OutputFormat format, const fs::path& planned, ConversionError error,
                        double duration) {
    outcome.outputs.push_back({format, planned, std::move(error), duration, std::nullopt, std::nullopt});
  };

  for (const auto& [format, planned] : item.outputs) {
    if (item.stop.stop_requested()) {
      cancelled = true;
      break;
    }
    const auto started = Clock::now();
    const fs::path part = createPartFile(planned);
    ConversionTally tally;
    auto result = item.convert(item.source, part, format, item.settings, item.startFrame,
                               item.endFrame, progress, item.stop,
                               item.metadata ? &*item.metadata : nullptr, &tally);
    if (result && item.settings.verifyAfterConversion) {
      // A lossy output measured for ReplayGain was decoded by the engine already.
      const VerificationResult verified = tally.decoded ? *tally.decoded : verifyOutput(part, item.stop);
      if (item.stop.stop_requested()) {
        result = Unexpected(ConversionError::cancelled());
      } else if (const auto failure = verificationFailure(verified, tally)) {
        result = Unexpected(
            ConversionError::unsupportedFormat(std::string(kVerificationFailed) + *failure));
      }
    }
    const double duration = std::chrono::duration<double>(Clock::now() - started).count();
    if (!result) {
      std::error_code ignored;
      fs::remove(part, ignored);
      if (result.error().kind() == ConversionError::Kind::cancelled) {
        cancelled = true;
        break;
      }
      fail(format, planned, std::move(result.error()), duration);
      continue;
    }
    finished.push_back({format, part, planned, duration, std::move(tally.loudness)});
  }

  if (cancelled || item.stop.stop_requested()) {
    for (const auto& output : finished) {
      std::error_code ignored;
      fs::remove(output.part, ignored);
    }
    outcome.error = ConversionError::cancelled();
    outcome.outputs.clear();
    return outcome;
  }
  for (const auto& output : finished) {
    const auto previous = item.previous.find(output.format);
    auto committed =
        commitOver(output.part, output.planned,
                   previous == item.previous.end() ? std::nullopt
                                                   : std::optional<PreviousOutput>(previous->second));
    if (!committed) {
      std::error_code ignored;
      fs::remove(output.part, ignored);
      fail(output.format, output.planned, std::move(committed.error()), output.duration);
      continue;
    }
    onWritten(output.format, *committed);
    outcome.outputs.push_back(
        {output.format, *committed, std::nullopt, output.duration, sizeOf(*committed), output.loudness});
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

}  // namespace

const std::set<QString>& acceptedAudioExtensions() {
  static const std::set<QString> kExtensions = [] {
    std::set<QString> set;
    for (const auto& ext : acceptedExtensionsUtf8()) set.insert(QString::fromStdString(ext));
    return set;
  }();
  return kExtensions;
}

ConverterViewModel::ConverterViewModel(QObject* parent) : ConverterViewModel(Options{}, parent) {}

ConverterViewModel::ConverterViewModel(Options options, QObject* parent)
    : QObject(parent),
      outputDirectory_(options.outputDirectory.isEmpty() ? musicFolder() : options.outputDirectory),
      historyManager_(std::make_unique<ConversionHistoryManager>(options.historyFile)),
      presetManager_(std::make_unique<PresetManager>(options.presetsFile)),
      watchFolderService_(std::make_unique<WatchFolderService>()),
      convert_(&AudioProcessor::convert),
      postNotifications_(options.postNotifications),
      pool_(std::make_unique<QThreadPool>()) {
  historyManager_->load();
  presetManager_->load();
  QPointer<ConverterViewModel> self(this);
  watchFolderService_->setOnFilesDetected([self](const QStringList& paths) {
    if (self) self->handleWatchedFiles(paths);
  });
  if (auto* app = QCoreApplication::instance()) {
    // A history entry still waiting for its debounced save is written before exit.
    connect(app, &QCoreApplication::aboutToQuit, this, [this] { historyManager_->saveNow(); });
  }
  pool_->setMaxThreadCount(availableCores() + kPreloadThreads);
}

ConverterViewModel::~ConverterViewModel() {
  if (batch_) {
    batch_->stop.request_stop();
    if (batch_->mirror) saveLibraryIndex(batch_);  // what finished stays known
  }
  for (const auto& job : jobs_) {
    if (auto it = observers_.find(job->id()); it != observers_.end())
      job->removeObserver(it->second);
  }
  observers_.clear();
  // Conversions observe the stop at their next chunk; their files are removed on the
  // workers, and their reports to this object are dropped with it.
  pool_->waitForDone();
  historyManager_->saveNow();
}

ConverterViewModel::JobPtr ConverterViewModel::job(const Uuid& id) const {
  const auto it = std::ranges::find_if(jobs_, [&](const JobPtr& job) { return job->id() == id; });
  return it == jobs_.end() ? nullptr : *it;
}

void ConverterViewModel::setSettings(const ConversionSettings& settings) {
  if (settings == settings_) return;
  settings_ = settings;
  emit settingsChanged();
}

void ConverterViewModel::setOutputDirectory(const QString& folder) {
  if (folder == outputDirectory_) return;
  outputDirectory_ = folder;
  emit outputDirectoryChanged();
}

void ConverterViewModel::setSelectedJobIDs(std::set<Uuid> ids) {
  if (ids == selectedJobIDs_) return;
  selectedJobIDs_ = std::move(ids);
  emit selectionChanged();
}

void ConverterViewModel::setConcurrencyLimit(int limit) {
  concurrencyLimit_ = std::max(0, limit);
}

void ConverterViewModel::setConvertFunction(ConvertFunction convert) {
  convert_ = std::move(convert);
}

void ConverterViewModel::appendJob(JobPtr job) {
  observers_[job->id()] =
      job->addObserver([this](const ConversionJob& changed, ConversionJob::Field field) {
        emit jobChanged(changed.id(), field);
      });
  jobs_.push_back(std::move(job));
}

// ---------------------------------------------------------------------------------------
// Import

void ConverterViewModel::addFiles(const QStringList& paths,
                                  const std::optional<QString>& subfolder) {
  addFileGroups({{paths, subfolder}});
}

void ConverterViewModel::addFileGroups(
    const std::vector<std::pair<QStringList, std::optional<QString>>>& groups) {
  std::unordered_set<std::string> keys;
  keys.reserve(jobs_.size());
  for (const auto& job : jobs_) keys.insert(duplicateKey(job->sourceURL(), job->startFrame()));

  const int first = static_cast<int>(jobs_.size());
  for (const auto& [paths, subfolder] : groups) {
    const std::optional<std::string> sub =
        subfolder ? std::optional<std::string>(pathFromQString(*subfolder).native()) : std::nullopt;
    for (const QString& path : paths) {
      fs::path source = pathFromQString(path);
      // Also skips a path given twice in one call.
      if (!keys.insert(duplicateKey(source, std::nullopt)).second) continue;
      std::string name = source.stem().string();
      appendJob(std::make_shared<ConversionJob>(std::move(source), std::move(name), sub));
    }
  }
  const int count = static_cast<int>(jobs_.size()) - first;
  if (count > 0) emit jobsInserted(first, count);
}

std::vector<ConverterViewModel::JobPtr> makeCueTrackJobs(const CueSheet& sheet,
                                                         const std::vector<CueAudioFile>& files,
                                                         const QString& cueBaseName) {
  std::vector<ConverterViewModel::JobPtr> jobs;
  const auto& tracks = sheet.tracks;
  // One folder for the whole sheet: a "/" in an album title does not nest folders.
  QString subfolder = sheet.albumTitle.value_or(cueBaseName);
  subfolder.replace(QLatin1Char('/'), QLatin1Char('_'));
  const auto utf8 = [](const std::optional<QString>& text) {
    return text ? std::optional<std::string>(text->toStdString()) : std::nullopt;
  };
  const auto inFile = [&](std::size_t file) {
    return std::ranges::count_if(tracks, [file](const CueTrack& t) { return t.file == file; });
  };
  // "2004" or "2004-05-17": the year is the leading four digits.
  std::optional<std::int64_t> sheetYear;
  if (sheet.date && sheet.date->size() >= 4) {
    bool ok = false;
    const int year = sheet.date->left(4).toInt(&ok);
    if (ok && year > 0) sheetYear = year;
  }

  // The first track of a file starts at the file's start, so audio before its INDEX 01
  // (a pregap or hidden track) is kept; later ones at their INDEX 01.
  std::vector<std::int64_t> starts(tracks.size());
  for (std::size_t i = 0; i < tracks.size(); ++i) {
    const bool firstInFile = std::none_of(tracks.begin(), tracks.begin() + static_cast<std::ptrdiff_t>(i),
                                          [&](const CueTrack& t) { return t.file == tracks[i].file; });
    const double rate = files.at(tracks[i].file).sampleRate;
    starts[i] = firstInFile ? 0 : static_cast<std::int64_t>(tracks[i].startTime * rate);  // truncated
  }

  for (std::size_t i = 0; i < tracks.size(); ++i) {
    const CueTrack& track = tracks[i];
    const CueAudioFile& file = files.at(track.file);
    std::int64_t end = file.totalFrames;
    for (std::size_t next = i + 1; next < tracks.size(); ++next) {
      if (tracks[next].file != track.file) continue;
      end = starts[next];  // at or before the start: an empty track, refused when converted
      break;
    }
    QString name = QString::asprintf("%02lld", static_cast<long long>(track.number));
    name += track.title ? QStringLiteral(" ") + *track.title
                        : QStringLiteral(" Track ") + QString::number(track.number);

    // The file's own tags fill what the sheet leaves out; its title and composer only
    // when the file is this one track.
    const AudioMetadata& own = file.tags;
    const bool wholeFile = inFile(track.file) == 1;
    AudioMetadata metadata;
    metadata.title = track.title ? utf8(track.title) : wholeFile ? own.title : std::nullopt;
    metadata.artist = track.performer       ? utf8(track.performer)
                      : sheet.albumPerformer ? utf8(sheet.albumPerformer)
                                             : own.artist;
    metadata.album = sheet.albumTitle ? utf8(sheet.albumTitle) : own.album;
    metadata.albumArtist = sheet.albumPerformer ? utf8(sheet.albumPerformer) : own.albumArtist;
    metadata.trackNumber = track.number;
    metadata.trackTotal = static_cast<std::int64_t>(tracks.size());
    metadata.discNumber = sheet.discNumber ? sheet.discNumber : own.discNumber;
    metadata.genre = sheet.genre ? utf8(sheet.genre) : own.genre;
    metadata.year = sheetYear ? sheetYear : own.year;
    metadata.composer = wholeFile ? own.composer : std::nullopt;
    metadata.artwork = own.artwork;

    const std::string nameUtf8 = name.toStdString();
    // The sheet's own name keeps its bytes when it names the folder.
    jobs.push_back(std::make_shared<ConversionJob>(file.path, nameUtf8, pathFromQString(subfolder).native(),
                                                   starts[i], end, nameUtf8, std::move(metadata)));
  }
  return jobs;
}

void ConverterViewModel::importCueSheet(const QString& path) {
  const auto sheet = CueSheet::parseFile(path, acceptedAudioExtensions());
  if (!sheet) {
    logCueFailure(sheet.error().errorDescription());
    return;
  }
  std::vector<CueAudioFile> files(sheet->files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (sheet->files[i].path.isEmpty()) continue;  // a FILE without tracks
    const fs::path audio = pathFromQString(sheet->files[i].path);
    const auto info = readAudioFileInfo(audio);
    if (!info) {
      logCueFailure(QString::fromStdString(info.error().errorDescription()));
      return;
    }
    files[i] = {audio, info->sampleRate, info->totalFrames, MetadataService::readMetadata(audio)};
  }
  auto tracks = makeCueTrackJobs(*sheet, files, QFileInfo(path).completeBaseName());
  if (tracks.empty()) return;
  const int first = static_cast<int>(jobs_.size());
  for (auto& job : tracks) appendJob(std::move(job));
  emit jobsInserted(first, static_cast<int>(tracks.size()));
}

void ConverterViewModel::importURLs(const QStringList& paths) {
  const std::size_t firstNew = jobs_.size();
  std::vector<fs::path> folderItems;  // dropped folders, for the jobs' library paths
  std::vector<std::pair<QStringList, std::optional<QString>>> groups;
  // Jobs keep the order of the paths: audio collected so far goes in before a cue sheet.
  const auto flush = [&] {
    if (groups.empty()) return;
    addFileGroups(groups);
    groups.clear();
  };
  const auto isAccepted = [](const fs::path& path) {
    return acceptedExtensionsUtf8().contains(lowerExtension(path));
  };

  // A folder contributes its cue sheets when it holds any, otherwise its audio files
  // under its path relative to the dropped folder's parent; its sub-folders follow.
  const auto walk = [&](auto&& self, const fs::path& folder, const QString& relative) -> void {
    std::error_code error;
    fs::directory_iterator it(folder, error);
    if (error) return;
    std::vector<fs::path> cues, audio, folders;
    for (; it != fs::directory_iterator(); it.increment(error)) {
      if (error) break;
      const fs::directory_entry& entry = *it;
      const std::string name = entry.path().filename().string();
      if (name.empty() || name.front() == '.') continue;
      std::error_code typeError;
      // Linked folders are not followed, so a link cycle cannot loop.
      if (entry.is_directory(typeError) && !entry.is_symlink(typeError)) {
        folders.push_back(entry.path());
      } else if (entry.is_regular_file(typeError)) {
        if (lowerExtension(entry.path()) == "cue") {
          cues.push_back(entry.path());
        } else if (isAccepted(entry.path())) {
          audio.push_back(entry.path());
        }
      }
    }
    std::ranges::sort(cues);
    std::ranges::sort(audio);
    std::ranges::sort(folders);
    if (!cues.empty()) {
      flush();
      for (const auto& cue : cues) importCueSheet(pathToQString(cue));
    } else if (!audio.empty()) {
      QStringList files;
      files.reserve(static_cast<qsizetype>(audio.size()));
      for (const auto& file : audio) files.push_back(pathToQString(file));
      groups.emplace_back(std::move(files), relative);
    }
    for (const auto& sub : folders) {
      self(self, sub,
           relative + QLatin1Char('/') + pathToQString(sub.filename()));
    }
  };

  for (const QString& path : paths) {
    const fs::path item = pathFromQString(path);
    if (lowerExtension(item) == "cue") {
      flush();
      importCueSheet(path);
      continue;
    }
    std::error_code error;
    const auto status = fs::status(item, error);
    if (error || !fs::exists(status)) continue;
    if (fs::is_directory(status)) {
      fs::path folder = item;
      if (!folder.has_filename()) folder = folder.parent_path();  // "Album/" -> "Album"
      std::error_code ignored;
      folderItems.push_back(fs::absolute(folder, ignored).lexically_normal());
      walk(walk, folder, pathToQString(folder.filename()));
    } else if (isAccepted(item)) {
      groups.push_back({QStringList{path}, std::nullopt});
    }
  }
  flush();

  // Library paths: relative to the parent of the dropped folder holding the source (the
  // innermost one), else to the source's own folder.
  for (std::size_t i = firstNew; i < jobs_.size(); ++i) {
    // Absolute: walked files keep the path as given, cue sheets resolve theirs.
    std::error_code ignored;
    const fs::path source = fs::absolute(jobs_[i]->sourceURL(), ignored).lexically_normal();
    fs::path base = source.parent_path();
    std::size_t longest = 0;
    for (const fs::path& folder : folderItems) {
      const std::string prefix = folder.native() + '/';
      if (source.native().starts_with(prefix) && prefix.size() > longest) {
        longest = prefix.size();
        base = folder.parent_path();
      }
    }
    std::string key = source.native().substr(base.native().size());
    while (key.starts_with('/')) key.erase(0, 1);
    libraryRoots_[key.substr(0, key.find('/'))] = base;
    libraryPaths_[jobs_[i]->id()] = std::move(key);
  }
}

std::string ConverterViewModel::libraryPath(const ConversionJob& job) const {
  if (const auto found = libraryPaths_.find(job.id()); found != libraryPaths_.end())
    return found->second;
  const std::string name = job.sourceURL().filename().native();
  return job.outputSubdirectory() ? *job.outputSubdirectory() + '/' + name : name;
}

void ConverterViewModel::keepShard(int index, int count) {
  removeJobsIf(
      [&](const ConversionJob& job) { return !inShard(libraryPath(job), index, count); });
}

LibraryMirror::Cleanup ConverterViewModel::removeOrphanedOutputs(int shardIndex, int shardCount) {
  LibraryMirror mirror(pathFromQString(outputDirectory_), settings_);
  std::set<std::string> imported;
  for (const auto& [id, path] : libraryPaths_) imported.insert(path);
  auto cleanup = mirror.removeOrphans(libraryRoots_, imported, shardIndex, shardCount);
  if (const auto saved = mirror.save(); !saved) emit libraryIndexSaveFailed(saved.error());
  return cleanup;
}

CompanionReport ConverterViewModel::copyCompanionFiles() {
  CompanionReport report;
  std::set<std::pair<fs::path, fs::path>> folders;
  for (const auto& job : jobs_) {
    const auto kind = job->status().kind();
    if (kind != ConversionStatus::Kind::completed && kind != ConversionStatus::Kind::skipped)
      continue;
    for (const auto& [format, url] : job->outputURLs())
      folders.emplace(job->sourceURL().parent_path(), url.parent_path());
  }
  for (const auto& [from, to] : folders) copyCompanions(from, to, report);
  return report;
}

void ConverterViewModel::removeJobsIf(const std::function<bool(const ConversionJob&)>& remove) {
  const auto removed = std::ranges::remove_if(jobs_, [&](const JobPtr& job) {
    if (!remove(*job)) return false;
    if (auto it = observers_.find(job->id()); it != observers_.end()) {
      job->removeObserver(it->second);
      observers_.erase(it);
    }
    return true;
  });
  const bool any = removed.begin() != removed.end();
  jobs_.erase(removed.begin(), removed.end());
  if (any) emit jobsRemoved();
}

void ConverterViewModel::removeSelectedJobs() {
  if (!selectedJobIDs_.empty())
    removeJobsIf([this](const ConversionJob& job) { return selectedJobIDs_.contains(job.id()); });
  setSelectedJobIDs({});
}

void ConverterViewModel::retryJobs(const std::set<Uuid>& ids) {
  for (const auto& job : jobs_) {
    const auto kind = job->status().kind();
    if (!ids.contains(job->id()) ||
        (kind != ConversionStatus::Kind::failed && kind != ConversionStatus::Kind::cancelled))
      continue;
    job->setOutputURLs({});
    job->setProgress(0.0);
    job->setStatus(ConversionStatus::pending());
  }
}

void ConverterViewModel::clearFinishedJobs() {
  std::set<Uuid> selected = selectedJobIDs_;
  removeJobsIf([&](const ConversionJob& job) {
    const auto kind = job.status().kind();
    const bool finished =
        kind != ConversionStatus::Kind::pending && kind != ConversionStatus::Kind::converting;
    if (finished) selected.erase(job.id());
    return finished;
  });
  setSelectedJobIDs(std::move(selected));
}

void ConverterViewModel::handleWatchedFiles(const QStringList& paths) {
  for (const QString& path : paths) {
    if (QFileInfo(path).suffix().toLower() == QLatin1String("cue")) {
      importCueSheet(path);
    } else {
      addFiles({path});
    }
  }
  if (!watchFolderService_->isWatching() || !hasPendingJobs()) return;
  if (isConverting_) {
    watchedDuringBatch_ = true;
  } else {
    startConversion();
  }
}

// ---------------------------------------------------------------------------------------
// Batch run

int ConverterViewModel::convertingCount() const {
  return static_cast<int>(std::ranges::count_if(jobs_, [](const JobPtr& job) {
    return job->status().kind() == ConversionStatus::Kind::converting;
  }));
}

int ConverterViewModel::remainingCount() const {
  return static_cast<int>(std::ranges::count_if(jobs_, [](const JobPtr& job) {
    const auto kind = job->status().kind();
    return kind == ConversionStatus::Kind::pending || kind == ConversionStatus::Kind::converting;
  }));
}

bool ConverterViewModel::hasPendingJobs() const {
  return std::ranges::any_of(jobs_, [](const JobPtr& job) {
    return job->status().kind() == ConversionStatus::Kind::pending;
  });
}

int ConverterViewModel::batchStartedCount() const {
  return batch_ ? batch_->started : 0;
}

int ConverterViewModel::batchTotal() const {
  return batch_ ? batch_->total : 0;
}

double ConverterViewModel::overallProgress() const {
  if (jobs_.empty()) return 0.0;
  double sum = 0.0;
  for (const auto& job : jobs_) {
    switch (job->status().kind()) {
      case ConversionStatus::Kind::converting:
        sum += job->progress();
        break;
      case ConversionStatus::Kind::completed:
      case ConversionStatus::Kind::skipped:
        sum += 1.0;
        break;
      default:
        break;
    }
  }
  return sum / static_cast<double>(jobs_.size());
}

void ConverterViewModel::startConversion() {
  if (settings_.enabledFormats.empty()) return;
  auto batch = std::make_shared<Batch>();
  batch->settings = settings_;
  batch->destination = outputDirectory_;
  // A missing destination (a fresh account without ~/Music) would fail every job with
  // "Create destination failed"; an unwritable one still fails each job clearly.
  QDir().mkpath(outputDirectory_);
  batch->formats = orderedByRawValue(settings_.enabledFormats);
  if (settings_.skipConverted)
    batch->mirror = std::make_unique<LibraryMirror>(pathFromQString(outputDirectory_), settings_);
  for (const auto& job : jobs_) {
    if (job->status().kind() != ConversionStatus::Kind::pending) continue;
    if (batch->mirror) {
      // Decided by stat and index alone: an up-to-date source is never opened.
      auto decision = batch->mirror->decide(libraryPath(*job), job->startFrame(),
                                            job->sourceURL(), batch->formats);
      if (decision.convert.empty()) {
        job->setOutputURLs({decision.upToDate.begin(), decision.upToDate.end()});
        job->setStatus(ConversionStatus::skipped());
        batch->foldersWithSkipped.insert(job->sourceURL().parent_path());
        continue;
      }
      batch->decisions[job->id()] = std::move(decision);
    }
    batch->jobs.push_back(job);
  }
  batch->total = static_cast<int>(batch->jobs.size());
  batch->convert = convert_;
  batch->limit = concurrencyLimit_ > 0 ? concurrencyLimit_ : availableCores();
  pool_->setMaxThreadCount(std::max(pool_->maxThreadCount(), batch->limit + kPreloadThreads));

  batch_ = batch;
  isConverting_ = true;
  emit isConvertingChanged(true);
  // The batch body runs from the event loop, so this returns at once.
  QMetaObject::invokeMethod(
      this, [this, batch] { beginBatch(batch); }, Qt::QueuedConnection);
}

void ConverterViewModel::beginBatch(const std::shared_ptr<Batch>& batch) {
  if (batch->stop.stop_requested()) return;
  // Album ReplayGain groups tracks by their album tag, so it needs the tags too.
  if (batch->settings.preserveMetadata || batch->settings.writeReplayGain) {
    for (const auto& job : batch->jobs) {
      if (job->metadata()) continue;
      ++batch->preloadPending;
      pool_->start([this, batch, job, source = job->sourceURL()] {
        AudioMetadata metadata = MetadataService::readMetadata(source);
        QMetaObject::invokeMethod(
            this,
            [this, batch, job, metadata = std::move(metadata)] {
              job->setMetadata(metadata);
              if (--batch->preloadPending == 0) planAndRun(batch);
            },
            Qt::QueuedConnection);
      });
    }
  }
  if (batch->preloadPending == 0) planAndRun(batch);
}

void ConverterViewModel::planAndRun(const std::shared_ptr<Batch>& batch) {
  if (batch->stop.stop_requested()) return;
  if (batch->mirror) {
    // Only the formats that are not up to date; a job's own earlier outputs may be
    // replaced by their new versions.
    std::set<QString> taken;
    for (std::size_t i = 0; i < batch->jobs.size(); ++i) {
      const LibraryMirror::Decision& decision = batch->decisions.at(batch->jobs[i]->id());
      std::set<QString> replaceable;
      for (const auto& [format, previous] : decision.previous)
        replaceable.insert(pathToQString(previous.path));
      JobPlan plan;
      plan.index = static_cast<int>(i);
      for (OutputFormat format : decision.convert) {
        plan.outputURLs.emplace_back(
            format, planOutput(format, *batch->jobs[i], batch->destination, batch->settings, taken,
                               &batch->createdFolders, &replaceable));
      }
      batch->plans.push_back(std::move(plan));
    }
  } else {
    batch->plans = buildPlans(batch->jobs, batch->formats, batch->destination, batch->settings,
                              &batch->createdFolders);
  }
  std::vector<fs::path> folders;
  for (const auto& plan : batch->plans) {
    for (const auto& [format, url] : plan.outputURLs) {
      folders.push_back(fs::path(url.toStdString()).parent_path());
    }
  }
  batch->folders = std::make_unique<DestinationFolders>(std::move(folders));
  if (batch->settings.writeReplayGain) {
    for (const auto& plan : batch->plans) {
      const auto& job = *batch->jobs[static_cast<std::size_t>(plan.index)];
      if (batch->foldersWithSkipped.contains(job.sourceURL().parent_path())) continue;
      if (const auto key = albumKey(job, batch->settings.albumByFolder)) {
        ++batch->albums[*key].pending;
        batch->albumOfJob[job.id()] = *key;
      }
    }
    // One track is no album: its album values would only repeat the track's.
    std::erase_if(batch->albumOfJob, [&](const auto& entry) { return batch->albums[entry.second].pending < 2; });
    std::erase_if(batch->albums, [](const auto& entry) { return entry.second.pending < 2; });
  }
  startNextJobs(batch);
}

void ConverterViewModel::startNextJobs(const std::shared_ptr<Batch>& batch) {
  // A cancelled batch starts nothing more: its unstarted jobs stay pending.
  while (!batch->stop.stop_requested() && batch->running < batch->limit &&
         batch->nextPlan < batch->plans.size()) {
    startJob(batch, batch->nextPlan++);
  }
  const bool allStarted = batch->nextPlan >= batch->plans.size();
  if (batch->running > 0 || (!allStarted && !batch->stop.stop_requested())) return;
  // Nothing of this batch writes any more: folders it made that stayed empty (all their
  // jobs failed or were cancelled) go, and other batches may sweep its folders.
  removeEmptyFolders(std::exchange(batch->createdFolders, {}));
  batch->folders.reset();
  if (batch->mirror) saveLibraryIndex(batch);
  if (batch->stop.stop_requested()) return;
  if (batch_ == batch) batch_.reset();
  isConverting_ = false;
  emit isConvertingChanged(false);
  emit batchFinished(batch->completed, batch->total);
  notifyCompletion(batch->completed, batch->total);
  if (std::exchange(watchedDuringBatch_, false) && watchFolderService_->isWatching() &&
      hasPendingJobs())
    startConversion();
}

// One long file, an album image or a batch's last jobs leave cores idle; a full batch
// keeps one thread per job, so its CPU time does not grow.
int jobThreads(int limit, int running, int queued, int cores) {
  return std::min(limit, running + queued) < cores ? 2 : 1;
}

void ConverterViewModel::startJob(const std::shared_ptr<Batch>& batch, std::size_t planIndex) {
  const JobPlan& plan = batch->plans[planIndex];
  JobPtr job = batch->jobs[static_cast<std::size_t>(plan.index)];
  // Taken by another batch meanwhile (only possible when batches overlap).
  if (job->status().kind() != ConversionStatus::Kind::pending) return;
  ++batch->started;  // first: observers of the status read the count
  job->setStatus(ConversionStatus::converting());
  ++batch->running;
  ++activeWorkers_;

  WorkItem item{job->sourceURL(), job->startFrame(), job->endFrame(), {},
                batch->settings,  job->metadata(),   batch->convert,  batch->stop.get_token(), {}};
  for (const auto& [format, url] : plan.outputURLs)
    item.outputs.emplace_back(format, pathFromQString(url));
  item.settings.threads = jobThreads(batch->limit, batch->running,
                                     static_cast<int>(batch->plans.size() - planIndex - 1),
                                     availableCores());
  if (const auto decision = batch->decisions.find(job->id()); decision != batch->decisions.end())
    item.previous = decision->second.previous;

  auto relay = std::make_shared<ProgressRelay>();
  relay->latest.store(job->progress());
  ProgressCallback progress = [this, relay, job](double value) {
    if (relay->latest.exchange(value) == value) return;
    if (relay->posted.exchange(true)) return;  // an update is already queued
    QMetaObject::invokeMethod(
        this,
        [relay, job] {
          relay->posted.store(false);
          job->setProgress(relay->latest.load());
        },
        Qt::QueuedConnection);
  };

  pool_->start([this, batch, job, item = std::move(item), progress = std::move(progress)] {
    const auto onWritten = [this, job](OutputFormat format, const fs::path& path) {
      QMetaObject::invokeMethod(
          this, [job, format, path] { job->setOutputURL(format, path); }, Qt::QueuedConnection);
    };
    JobOutcome outcome = runJob<JobOutcome>(item, progress, onWritten);
    QMetaObject::invokeMethod(
        this, [this, batch, job, outcome = std::move(outcome)] { finishJob(batch, job, outcome); },
        Qt::QueuedConnection);
  });
}

void ConverterViewModel::finishJob(const std::shared_ptr<Batch>& batch, const JobPtr& job,
                                   JobOutcome outcome) {
  --batch->running;
  --activeWorkers_;

  if (outcome.error) {
    job->setStatus(ConversionStatus::failed(*outcome.error));
  } else {
    job->setStatus(ConversionStatus::completed());
    ++batch->completed;
  }
  // One entry per output file kept; a format that failed beside kept ones gets a failed
  // entry under its planned name, so the history says which of the job's files is missing.
  const bool keptAny = std::ranges::any_of(
      outcome.outputs, [](const OutputOutcome& output) { return !output.error; });
  for (const OutputOutcome& output : keptAny ? outcome.outputs : std::vector<OutputOutcome>{}) {
    ConversionHistoryEntry entry;
    entry.date = QDateTime::currentDateTimeUtc();
    entry.sourceFileName = QString::fromStdString(job->sourceURL().filename().string());
    entry.sourcePath = toQString(job->sourceURL());
    entry.outputFileName = QString::fromStdString(output.path.filename().string());
    entry.outputPath = toQString(output.path);
    entry.outputFormat = QString::fromUtf8(displayName(output.format));
    entry.duration = output.duration;
    entry.successful = !output.error;
    if (output.error) entry.errorMessage = QString::fromStdString(output.error->errorDescription());
    entry.fileSizeBefore = outcome.sourceSize;
    entry.fileSizeAfter = output.size;
    historyManager_->add(std::move(entry));
  }
  if (const auto decision = batch->decisions.find(job->id());
      batch->mirror && decision != batch->decisions.end() && decision->second.sourceStamp) {
    for (const OutputOutcome& output : outcome.outputs) {
      if (output.error) continue;
      const auto previous = decision->second.previous.find(output.format);
      batch->mirror->recordOutput(
          libraryPath(*job), job->startFrame(), output.format, *decision->second.sourceStamp,
          output.path,
          previous == decision->second.previous.end()
              ? std::nullopt
              : std::optional<PreviousOutput>(previous->second));
    }
    if (!batch->indexSaveScheduled && batch->mirror->hasChanges()) {
      batch->indexSaveScheduled = true;
      QTimer::singleShot(kIndexSaveIntervalMs, this, [this, batch] { saveLibraryIndex(batch); });
    }
  }

  finishAlbumTrack(batch, job, outcome);
  startNextJobs(batch);
  if (activeWorkers_ == 0) emit workersIdle();
}

void ConverterViewModel::finishAlbumTrack(const std::shared_ptr<Batch>& batch, const JobPtr& job,
                                          const JobOutcome& outcome) {
  const auto key = batch->albumOfJob.find(job->id());
  if (key == batch->albumOfJob.end()) return;
  AlbumGroup& album = batch->albums[key->second];
  // A failed or cancelled track leaves its album without album values; the finished
  // tracks keep their track values.
  if (outcome.error) album.spoiled = true;
  for (const auto& output : outcome.outputs) {
    if (output.loudness) {
      album.tracks.push_back({output.format, output.path, *output.loudness});
    } else if (MetadataService::holdsReplayGain(output.format)) {
      album.spoiled = true;
    }
  }
  if (--album.pending > 0 || album.spoiled || batch->stop.stop_requested()) return;
  auto tags = albumTags(album);
  if (tags.empty()) return;
  // The outputs are under their final names already: each is rewritten through a hidden
  // copy renamed over it, on a worker, while the batch counts as running.
  ++batch->running;
  ++activeWorkers_;
  std::vector<fs::path> rewritten;
  for (const auto& entry : tags) rewritten.push_back(std::get<1>(entry));
  pool_->start([this, batch, tags = std::move(tags), rewritten = std::move(rewritten)] {
    for (const auto& [format, path, gains] : tags) {
      if (const auto failure = MetadataService::writeReplayGain(gains, format, path)) {
        platform::log(platform::LogCategory::metadata, platform::LogLevel::error,
                      "Album ReplayGain tags failed for " + path.filename().string() + ": " +
                          failure->text());
      }
    }
    QMetaObject::invokeMethod(
        this,
        [this, batch, rewritten] {
          // The index keeps each output as written; album tags changed them since.
          if (batch->mirror) {
            for (const auto& path : rewritten) batch->mirror->restampOutput(path);
          }
          --batch->running;
          --activeWorkers_;
          startNextJobs(batch);
          if (activeWorkers_ == 0) emit workersIdle();
        },
        Qt::QueuedConnection);
  });
}

void ConverterViewModel::saveLibraryIndex(const std::shared_ptr<Batch>& batch) {
  batch->indexSaveScheduled = false;
  if (const auto saved = batch->mirror->save(); !saved) emit libraryIndexSaveFailed(saved.error());
}

void ConverterViewModel::cancelConversion() {
  watchedDuringBatch_ = false;
  if (batch_) {
    batch_->stop.request_stop();
    // The tool may exit before the next timed save: what finished stays known.
    if (batch_->mirror) saveLibraryIndex(batch_);
    batch_.reset();
  }
  for (const auto& job : jobs_) {
    if (job->status().kind() == ConversionStatus::Kind::converting) {
      job->setStatus(ConversionStatus::cancelled());
    }
  }
  if (isConverting_) {
    isConverting_ = false;
    emit isConvertingChanged(false);
  }
}

void ConverterViewModel::notifyCompletion(int completed, int total) {
  if (!postNotifications_) return;
  if (!notices_) {
    notices_ = new DesktopNotices(QDBusConnection::sessionBus(), this);
    connect(notices_, &DesktopNotices::showFolderRequested, this, &ConverterViewModel::showFolderRequested);
  }
  QMetaObject::invokeMethod(
      notices_,
      [notices = notices_, title = completionTitle(completed, total), body = completionMessage(completed, total),
       folder = outputDirectory_] { notices->post(title, body, QString::fromLatin1(kDesktopEntry), folder); },
      Qt::QueuedConnection);
}

}  // namespace vexal
