#include "orchestration/converter_view_model.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QStandardPaths>
#include <algorithm>
#include <cstdio>
#include <type_traits>
#include <unordered_set>
#include <utility>

#include "engine/audio_processor.h"
#include "model/input_formats.h"
#include "orchestration/cue_tracks.h"
#include "orchestration/desktop_notice.h"
#include "orchestration/source_import.h"
#include "persistence/conversion_history.h"
#include "persistence/preset_manager.h"
#include "platform/logging.h"
#include "sources/path_text.h"
#include "sources/watch_folder_service.h"

namespace vexal {

namespace {

namespace fs = std::filesystem;

constexpr auto kDesktopEntry = "io.github.vexal.Vexal";
// Metadata preload reads are short and mostly wait on the disk; they get a few threads
// beside the conversions.
constexpr int kPreloadThreads = 4;

std::string duplicateKey(const fs::path& source, const std::optional<std::int64_t>& startFrame) {
  return source.string() + "_" + (startFrame ? std::to_string(*startFrame) : std::string("-1"));
}

QString musicFolder() {
  const QStringList folders = QStandardPaths::standardLocations(QStandardPaths::MusicLocation);
  if (!folders.isEmpty()) return folders.front();
  return QDir::home().filePath(QStringLiteral("Music"));
}

// Absolute, without "." or "..", without a trailing slash: the same folder reached as
// "Music/", "./Music" or "Music" is one destination, and its index one index.
QString normalisedFolder(const QString& folder) {
  std::error_code ignored;
  std::string text = fs::absolute(pathFromQString(folder), ignored).lexically_normal().native();
  while (text.size() > 1 && text.ends_with('/')) text.pop_back();
  return pathToQString(text);
}

void logCueFailure(const QString& description) {
  platform::log(platform::LogCategory::conversion, platform::LogLevel::error,
                ("Cue sheet parse failed: " + description).toStdString());
}

// A cue track's image, range and tags as one digest: a sheet edited so that any of them
// changes makes the track convert again.
std::string cueTrackDigest(const std::string& image, const ConversionJob& job) {
  std::string text = image;
  const auto add = [&](const auto& value) {
    text += '\0';
    if constexpr (requires { value.has_value(); }) {
      if (!value) return;
      if constexpr (std::is_same_v<std::decay_t<decltype(*value)>, std::string>) {
        text += *value;
      } else {
        text += std::to_string(*value);
      }
    }
  };
  add(job.startFrame());
  add(job.endFrame());
  if (const auto& tags = job.metadata()) {
    add(tags->title);
    add(tags->artist);
    add(tags->album);
    add(tags->albumArtist);
    add(tags->trackNumber);
    add(tags->trackTotal);
    add(tags->discNumber);
    add(tags->genre);
    add(tags->year);
  }
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(stableHash(text)));
  return hex;
}

}  // namespace

const std::set<QString>& acceptedAudioExtensions() {
  static const std::set<QString> kExtensions = [] {
    std::set<QString> set;
    for (const auto& ext : acceptedInputExtensions()) set.insert(QString::fromStdString(ext));
    return set;
  }();
  return kExtensions;
}

ConverterViewModel::ConverterViewModel(QObject* parent) : ConverterViewModel(Options{}, parent) {}

ConverterViewModel::ConverterViewModel(Options options, QObject* parent)
    : QObject(parent),
      outputDirectory_(normalisedFolder(options.outputDirectory.isEmpty() ? musicFolder()
                                                                          : options.outputDirectory)),
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
  if (batch_) batch_->cancel();
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
  const auto it = jobsById_.find(id);
  return it == jobsById_.end() ? nullptr : it->second;
}

void ConverterViewModel::setSettings(const ConversionSettings& settings) {
  if (settings == settings_) return;
  settings_ = settings;
  emit settingsChanged();
}

void ConverterViewModel::setOutputDirectory(const QString& folder) {
  const QString normalised = normalisedFolder(folder);
  if (normalised == outputDirectory_) return;
  outputDirectory_ = normalised;
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
  jobsById_[job->id()] = job;
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

void ConverterViewModel::importCueSheet(const QString& path, const std::optional<QString>& subfolder) {
  auto tracks = readCueTracks(path, subfolder);
  if (!tracks) {
    logCueFailure(tracks.error());
    return;
  }
  if (tracks->jobs.empty()) return;
  std::error_code ignored;
  const fs::path sheet = fs::absolute(pathFromQString(path), ignored).lexically_normal();
  const int first = static_cast<int>(jobs_.size());
  for (std::size_t i = 0; i < tracks->jobs.size(); ++i) {
    cueTracks_[tracks->jobs[i]->id()] = {sheet, tracks->trackNumbers[i]};
    appendJob(std::move(tracks->jobs[i]));
  }
  emit jobsInserted(first, static_cast<int>(tracks->jobs.size()));
}

void ConverterViewModel::importURLs(const QStringList& paths) {
  const std::size_t firstNew = jobs_.size();
  ImportExclusions exclusions;
  exclusions.destination = pathFromQString(outputDirectory_);
  std::shared_ptr<LibraryIndex> index;
  if (settings_.skipConverted) {
    // A mirror whose sources hold the destination must not take its own outputs for
    // sources: read the index the first time a walked file lies below the destination.
    exclusions.isRecordedOutput = [this, &index](const std::string& relative) {
      if (!index) {
        index = std::make_shared<LibraryIndex>(pathFromQString(outputDirectory_).native());
        [[maybe_unused]] const auto loaded = index->load(LibraryIndex::Access::readOnly);
      }
      return index->at(relative) != nullptr;
    };
  }
  const ImportWalk walk = walkImport(paths, exclusions);
  for (const auto& [path, reason] : walk.skipped) emit importSkipped(path, reason);
  importedFolders_.insert(importedFolders_.end(), walk.folders.begin(), walk.folders.end());
  // Jobs keep the order of the paths: audio collected so far goes in before a cue sheet.
  std::vector<std::pair<QStringList, std::optional<QString>>> groups;
  for (const ImportItem& item : walk.items) {
    if (item.cueSheet.isEmpty()) {
      groups.emplace_back(item.files, item.subfolder);
      continue;
    }
    if (!groups.empty()) addFileGroups(std::exchange(groups, {}));
    importCueSheet(item.cueSheet, item.subfolder);
  }
  if (!groups.empty()) addFileGroups(groups);

  // Library paths: below the parent of the folder given that holds the source (for a
  // cue track, its sheet), else the source's own name.
  for (std::size_t i = firstNew; i < jobs_.size(); ++i) {
    const auto cue = cueTracks_.find(jobs_[i]->id());
    fs::path base;
    std::string key = libraryPathOf(cue != cueTracks_.end() ? cue->second.sheet : jobs_[i]->sourceURL(),
                                    walk.folders, &base);
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

MirrorSource ConverterViewModel::mirrorSource(const ConversionJob& job) const {
  MirrorSource source;
  source.libraryPath = libraryPath(job);
  source.file = job.sourceURL();
  if (const auto cue = cueTracks_.find(job.id()); cue != cueTracks_.end()) {
    source.track = cue->second.number;
    source.imagePath = libraryPathOf(job.sourceURL(), importedFolders_);
    source.start = job.startFrame();
    source.detail = cueTrackDigest(source.imagePath, job);
  }
  return source;
}

void ConverterViewModel::keepShard(int index, int count) {
  removeJobsIf([&](const ConversionJob& job) {
    return !inShard(mirrorSource(job).shardKey(), index, count);
  });
}

void ConverterViewModel::openMirrorAhead() {
  if (!settings_.skipConverted || preparedMirror_) return;
  QDir().mkpath(outputDirectory_);
  preparedSettings_ = settings_;
  preparedMirror_ = std::make_shared<PreparedMirror>(
      pathFromQString(outputDirectory_), settings_,
      LibraryMirror::Options{mirrorOptions_.dryRun, mirrorOptions_.shardIndex, mirrorOptions_.shardCount},
      [this] {
        QMetaObject::invokeMethod(this, [this] { emit mirrorWaiting(outputDirectory_); }, Qt::QueuedConnection);
      });
}

BatchRun::Mirroring ConverterViewModel::mirroringFor(const std::vector<JobPtr>& jobs) const {
  BatchRun::Mirroring mirroring;
  mirroring.enabled = true;
  mirroring.options = {mirrorOptions_.dryRun, mirrorOptions_.shardIndex, mirrorOptions_.shardCount};
  mirroring.deleteOrphans = mirrorOptions_.deleteOrphans;
  mirroring.copyCompanions = mirrorOptions_.copyCompanions;
  for (const auto& job : jobs) mirroring.sources[job->id()] = mirrorSource(*job);
  if (!mirrorOptions_.deleteOrphans) return mirroring;
  // Everything imported counts as present, the jobs of other shards included.
  mirroring.orphans.roots = libraryRoots_;
  for (const auto& [id, path] : libraryPaths_) {
    if (const auto cue = cueTracks_.find(id); cue != cueTracks_.end()) {
      mirroring.orphans.sheets.insert(path);
      mirroring.orphans.tracks.emplace(path, cue->second.number);
    } else {
      mirroring.orphans.sources.insert(path);
    }
  }
  return mirroring;
}

void ConverterViewModel::removeJobsIf(const std::function<bool(const ConversionJob&)>& remove) {
  const auto removed = std::ranges::remove_if(jobs_, [&](const JobPtr& job) {
    if (!remove(*job)) return false;
    if (auto it = observers_.find(job->id()); it != observers_.end()) {
      job->removeObserver(it->second);
      observers_.erase(it);
    }
    jobsById_.erase(job->id());
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
  return batch_ ? runEarlierJobs_ + batch_->started() : 0;
}

int ConverterViewModel::batchTotal() const {
  if (!batch_) return 0;
  // Pending jobs beyond this batch's unstarted ones start in the next batch of the run.
  const int queued =
      watchedDuringBatch_
          ? static_cast<int>(std::ranges::count_if(jobs_, [](const JobPtr& job) {
              return job->status().kind() == ConversionStatus::Kind::pending;
            })) - (batch_->total() - batch_->started())
          : 0;
  return runEarlierJobs_ + batch_->total() + std::max(0, queued);
}

double ConverterViewModel::overallProgress() const {
  if (!batch_) return runProgress_.value();
  double done = runEarlierJobs_;
  for (const auto& job : batch_->jobs()) {
    const auto kind = job->status().kind();
    // A failed job's work is over too: counting it as nothing would pull the bar back.
    if (kind == ConversionStatus::Kind::converting) {
      done += job->progress();
    } else if (kind != ConversionStatus::Kind::pending) {
      done += 1.0;
    }
  }
  return runProgress_.update(done, batchTotal());
}

void ConverterViewModel::startConversion() { startBatch(false); }

void ConverterViewModel::startBatch(bool continuesRun) {
  if (settings_.enabledFormats.empty()) return;
  if (!continuesRun) {
    runEarlierJobs_ = 0;
    runProgress_.reset();
  }
  // A missing destination (a fresh account without ~/Music) would fail every job with
  // "Create destination failed"; an unwritable one still fails each job clearly.
  QDir().mkpath(outputDirectory_);
  std::vector<JobPtr> pending;
  for (const auto& job : jobs_) {
    if (job->status().kind() == ConversionStatus::Kind::pending) pending.push_back(job);
  }
  BatchRun::Context context;
  context.pool = pool_.get();
  context.history = historyManager_.get();
  context.convert = convert_;
  context.limit = concurrencyLimit_ > 0 ? concurrencyLimit_ : availableCores();
  context.workers = [this](int delta) {
    activeWorkers_ += delta;
    if (activeWorkers_ > 0) return;
    // Checked again from the event loop: a finished job often starts the next at once.
    QMetaObject::invokeMethod(
        this, [this] { if (activeWorkers_ == 0) emit workersIdle(); }, Qt::QueuedConnection);
  };
  pool_->setMaxThreadCount(std::max(pool_->maxThreadCount(), context.limit + kPreloadThreads));
  BatchRun::Mirroring mirroring = settings_.skipConverted ? mirroringFor(pending) : BatchRun::Mirroring{};
  if (auto prepared = std::exchange(preparedMirror_, nullptr); prepared && settings_ == preparedSettings_)
    mirroring.prepared = std::move(prepared);
  auto* batch = new BatchRun(pending, settings_, outputDirectory_, std::move(mirroring), std::move(context), this);
  connect(batch, &BatchRun::finished, this,
          [this, batch](int completed, int total) { onBatchFinished(batch, completed, total); });
  connect(batch, &BatchRun::drained, batch, &QObject::deleteLater);
  connect(batch, &BatchRun::mirrorWaiting, this, [this] { emit mirrorWaiting(outputDirectory_); });
  connect(batch, &BatchRun::mirrorAction, this, &ConverterViewModel::mirrorAction);
  connect(batch, &BatchRun::mirrorWarning, this, &ConverterViewModel::mirrorWarning);
  batch_ = batch;
  mirrorReport_ = {};
  isConverting_ = true;
  emit isConvertingChanged(true);
  batch->start();
}

void ConverterViewModel::onBatchFinished(BatchRun* batch, int completed, int total) {
  if (batch != batch_) return;
  batch_ = nullptr;
  mirrorReport_ = batch->mirrorReport();
  isConverting_ = false;
  emit isConvertingChanged(false);
  emit batchFinished(completed, total);
  notifyCompletion(completed, total);
  if (std::exchange(watchedDuringBatch_, false) && watchFolderService_->isWatching() &&
      hasPendingJobs()) {
    runEarlierJobs_ += total;
    startBatch(true);
  }
}

void ConverterViewModel::cancelConversion() {
  watchedDuringBatch_ = false;
  if (batch_) {
    batch_->cancel();
    batch_ = nullptr;
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

QString completionMessage(int completed, int total) {
  return QStringLiteral("%1 of %2 file%3 converted successfully.")
      .arg(completed)
      .arg(total)
      .arg(total == 1 ? QString() : QStringLiteral("s"));
}

QString completionTitle(int completed, int total) {
  return completed < total ? QStringLiteral("Conversion Finished with Errors") : QStringLiteral("Conversion Complete");
}

}  // namespace vexal
