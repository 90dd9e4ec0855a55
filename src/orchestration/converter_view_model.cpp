#include "orchestration/converter_view_model.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QStandardPaths>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <unordered_set>

#include "engine/audio_file_info.h"
#include "engine/audio_processor.h"
#include "metadata/metadata_service.h"
#include "orchestration/desktop_notice.h"
#include "persistence/conversion_history.h"
#include "persistence/preset_manager.h"
#include "platform/logging.h"
#include "sources/cue_sheet.h"
#include "sources/watch_folder_service.h"

namespace vexal {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr auto kNoticeTitle = "Conversion Complete";
constexpr auto kVerificationFailed = "Verification failed: output is not decodable";
// Metadata preload reads are short and mostly wait on the disk; they get a few threads
// beside the conversions.
constexpr int kPreloadThreads = 4;

const std::set<std::string>& acceptedExtensionsUtf8() {
  static const std::set<std::string> kExtensions = {"mp3",  "m4a", "aac",  "wav", "aiff", "aif",
                                                    "flac", "caf", "alac", "ogg", "wma",  "opus"};
  return kExtensions;
}

// Lower-cased extension without the dot ("MP3" -> "mp3"), ASCII only like the set it is
// compared with.
std::string lowerExtension(const fs::path& path) {
  std::string ext = path.extension().string();
  if (!ext.empty()) ext.erase(0, 1);
  for (char& c : ext) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return ext;
}

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
};

// Progress from a worker, folded so that at most one update per job waits in the
// main thread's queue; the update applies the latest value.
struct ProgressRelay {
  std::atomic<double> latest{0.0};
  std::atomic<bool> posted{false};
};

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
};

struct ConverterViewModel::JobOutcome {
  std::optional<ConversionError> error;
  std::vector<std::pair<OutputFormat, fs::path>> written;  // in conversion order
  double duration = 0;                                     // seconds
  std::optional<qint64> sourceSize;
  std::optional<qint64> outputSize;  // of the first written output
};

namespace {

// Converts one job's outputs one after the other on the calling worker thread. Files
// this job created are removed again when it fails.
template <typename Outcome, typename OnWritten>
Outcome runJob(const WorkItem& item, const ProgressCallback& progress, OnWritten onWritten) {
  const auto started = Clock::now();
  const auto elapsed = [&] {
    return std::chrono::duration<double>(Clock::now() - started).count();
  };
  Outcome outcome;
  outcome.sourceSize = sizeOf(item.source);
  std::vector<fs::path> created;
  const auto fail = [&](ConversionError error) {
    for (const auto& path : created) {
      std::error_code ignored;
      fs::remove(path, ignored);
    }
    outcome.error = std::move(error);
    outcome.duration = elapsed();
    return outcome;
  };

  for (const auto& [format, planned] : item.outputs) {
    if (item.stop.stop_requested()) return fail(ConversionError::cancelled());
    const ClaimedPath claim = claimOutputPath(planned);
    if (claim.created) created.push_back(claim.path);
    auto result = item.convert(item.source, claim.path, format, item.settings, item.startFrame,
                               item.endFrame, progress, item.stop);
    if (!result) return fail(std::move(result.error()));
    if (!claim.created) created.push_back(claim.path);  // written by this job after all
    outcome.written.emplace_back(format, claim.path);
    onWritten(format, claim.path);

    const bool isM4A = format == OutputFormat::aac || format == OutputFormat::alac;
    if (isM4A && item.settings.preserveMetadata && item.metadata && item.metadata->hasContent()) {
      // The job's tags (a cue track's, say) over those the engine copied from the source;
      // a failure keeps the engine's tags.
      (void)MetadataService::writeToM4A(*item.metadata, claim.path);
    }
    if (item.settings.verifyAfterConversion) {
      const VerificationResult verified = verifyOutput(claim.path, item.stop);
      if (item.stop.stop_requested()) return fail(ConversionError::cancelled());
      if (!verified.decodable) return fail(ConversionError::unsupportedFormat(kVerificationFailed));
    }
  }
  outcome.duration = elapsed();
  if (!outcome.written.empty()) outcome.outputSize = sizeOf(outcome.written.front().second);
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
  if (batch_) batch_->stop.request_stop();
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
        subfolder ? std::optional<std::string>(subfolder->toStdString()) : std::nullopt;
    for (const QString& path : paths) {
      fs::path source(path.toStdString());
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
                                                         const fs::path& audioFile,
                                                         const QString& cueBaseName,
                                                         double sampleRate,
                                                         std::int64_t totalFrames) {
  std::vector<ConverterViewModel::JobPtr> jobs;
  const auto& tracks = sheet.tracks;
  // One folder for the whole sheet: a "/" in an album title does not nest folders.
  QString subfolder = sheet.albumTitle.value_or(cueBaseName);
  subfolder.replace(QLatin1Char('/'), QLatin1Char('_'));
  const auto toFrame = [sampleRate](double seconds) {
    return static_cast<std::int64_t>(seconds * sampleRate);  // truncation toward zero
  };
  const auto utf8 = [](const std::optional<QString>& text) {
    return text ? std::optional<std::string>(text->toStdString()) : std::nullopt;
  };
  for (std::size_t i = 0; i < tracks.size(); ++i) {
    const CueTrack& track = tracks[i];
    const std::int64_t start = toFrame(track.startTime);
    const std::int64_t end = i + 1 < tracks.size() ? toFrame(tracks[i + 1].startTime) : totalFrames;
    QString name = QString::asprintf("%02lld", static_cast<long long>(track.number));
    name += track.title ? QStringLiteral(" ") + *track.title
                        : QStringLiteral(" Track ") + QString::number(track.number);

    AudioMetadata metadata;
    metadata.title = utf8(track.title);
    metadata.artist = utf8(track.performer ? track.performer : sheet.albumPerformer);
    metadata.album = utf8(sheet.albumTitle);
    metadata.albumArtist = utf8(sheet.albumPerformer);
    metadata.trackNumber = track.number;
    metadata.trackTotal = static_cast<std::int64_t>(tracks.size());

    const std::string nameUtf8 = name.toStdString();
    jobs.push_back(std::make_shared<ConversionJob>(audioFile, nameUtf8, subfolder.toStdString(),
                                                   start, end, nameUtf8, std::move(metadata)));
  }
  return jobs;
}

void ConverterViewModel::importCueSheet(const QString& path) {
  const auto sheet = CueSheet::parseFile(path);
  if (!sheet) {
    logCueFailure(sheet.error().errorDescription());
    return;
  }
  const QFileInfo cueFile(path);
  const fs::path audio =
      fs::path(cueFile.absolutePath().toStdString()) / sheet->audioFileName.toStdString();
  std::error_code error;
  if (!fs::exists(audio, error)) {
    logCueFailure(CueSheetError{CueSheetError::Kind::audioFileNotFound, sheet->audioFileName}
                      .errorDescription());
    return;
  }
  const auto info = readAudioFileInfo(audio);
  if (!info) {
    logCueFailure(QString::fromStdString(info.error().errorDescription()));
    return;
  }
  auto tracks = makeCueTrackJobs(*sheet, audio, cueFile.completeBaseName(), info->sampleRate,
                                 info->totalFrames);
  if (tracks.empty()) return;
  const int first = static_cast<int>(jobs_.size());
  for (auto& job : tracks) appendJob(std::move(job));
  emit jobsInserted(first, static_cast<int>(tracks.size()));
}

void ConverterViewModel::importURLs(const QStringList& paths) {
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
      for (const auto& cue : cues) importCueSheet(toQString(cue));
    } else if (!audio.empty()) {
      QStringList files;
      files.reserve(static_cast<qsizetype>(audio.size()));
      for (const auto& file : audio) files.push_back(toQString(file));
      groups.emplace_back(std::move(files), relative);
    }
    for (const auto& sub : folders) {
      self(self, sub,
           relative + QLatin1Char('/') + QString::fromStdString(sub.filename().string()));
    }
  };

  for (const QString& path : paths) {
    const fs::path item(path.toStdString());
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
      walk(walk, folder, QString::fromStdString(folder.filename().string()));
    } else if (isAccepted(item)) {
      groups.push_back({QStringList{path}, std::nullopt});
    }
  }
  flush();
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
  for (const auto& job : jobs_) {
    if (job->status().kind() == ConversionStatus::Kind::pending) batch->jobs.push_back(job);
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
  if (batch->settings.preserveMetadata) {
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
  batch->plans = buildPlans(batch->jobs, batch->formats, batch->destination, batch->settings);
  startNextJobs(batch);
}

void ConverterViewModel::startNextJobs(const std::shared_ptr<Batch>& batch) {
  // A cancelled batch starts nothing more: its unstarted jobs stay pending.
  while (!batch->stop.stop_requested() && batch->running < batch->limit &&
         batch->nextPlan < batch->plans.size()) {
    startJob(batch, batch->nextPlan++);
  }
  if (batch->stop.stop_requested() || batch->running > 0 || batch->nextPlan < batch->plans.size()) {
    return;
  }
  if (batch_ == batch) batch_.reset();
  isConverting_ = false;
  emit isConvertingChanged(false);
  emit batchFinished(batch->completed, batch->total);
  notifyCompletion(batch->completed, batch->total);
  if (std::exchange(watchedDuringBatch_, false) && watchFolderService_->isWatching() &&
      hasPendingJobs())
    startConversion();
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
                batch->settings,  job->metadata(),   batch->convert,  batch->stop.get_token()};
  for (const auto& [format, url] : plan.outputURLs)
    item.outputs.emplace_back(format, url.toStdString());

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
  if (!outcome.written.empty()) {
    const auto& [format, output] = outcome.written.front();
    ConversionHistoryEntry entry;
    entry.date = QDateTime::currentDateTimeUtc();
    entry.sourceFileName = QString::fromStdString(job->sourceURL().filename().string());
    entry.sourcePath = toQString(job->sourceURL());
    entry.outputFileName = QString::fromStdString(output.filename().string());
    entry.outputPath = toQString(output);
    entry.outputFormat = QString::fromUtf8(displayName(format));
    entry.duration = outcome.duration;
    entry.successful = !outcome.error;
    if (outcome.error)
      entry.errorMessage = QString::fromStdString(outcome.error->errorDescription());
    entry.fileSizeBefore = outcome.sourceSize;
    if (!outcome.error) entry.fileSizeAfter = outcome.outputSize;
    historyManager_->add(std::move(entry));
  }

  startNextJobs(batch);
  if (activeWorkers_ == 0) emit workersIdle();
}

void ConverterViewModel::cancelConversion() {
  watchedDuringBatch_ = false;
  if (batch_) {
    batch_->stop.request_stop();
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
  const QString body = completionMessage(completed, total);
  QMetaObject::invokeMethod(
      this, [body] { postDesktopNotice(QString::fromLatin1(kNoticeTitle), body); },
      Qt::QueuedConnection);
}

}  // namespace vexal
