#include "orchestration/batch_run.h"

#include <QDateTime>
#include <QMetaObject>
#include <algorithm>
#include <iterator>
#include <atomic>
#include <thread>

#include "metadata/metadata_service.h"
#include "orchestration/mirror_albums.h"
#include "orchestration/output_files.h"
#include "persistence/conversion_history.h"
#include "platform/logging.h"
#include "sources/path_text.h"

namespace vexal {

namespace {

namespace fs = std::filesystem;

// Progress from a worker, folded so that at most one update per job waits in the
// main thread's queue; the update applies the latest value and output.
struct ProgressRelay {
  std::atomic<double> latest{0.0};
  std::atomic<int> output{-1};
  std::atomic<bool> posted{false};
};

QString toQString(const fs::path& path) { return pathToQString(path); }

}  // namespace

BatchRun::BatchRun(std::vector<JobPtr> jobs, ConversionSettings settings, QString destination,
                   Mirroring mirroring, Context context, QObject* parent)
    : QObject(parent),
      jobs_(std::move(jobs)),
      settings_(std::move(settings)),
      destination_(std::move(destination)),
      formats_(orderedByRawValue(settings_.enabledFormats)),
      mirroring_(std::move(mirroring)),
      context_(std::move(context)) {
  total_ = static_cast<int>(jobs_.size());
}

void BatchRun::start() {
  // The body runs from the event loop, so this returns at once.
  QMetaObject::invokeMethod(
      this, [this] { mirroring_.enabled ? decide() : preload(); }, Qt::QueuedConnection);
}

void BatchRun::cancel() {
  stop_.request_stop();
  checkDrained();
}

void BatchRun::workerStarted() {
  ++running_;
  if (context_.workers) context_.workers(+1);
}

void BatchRun::workerEnded() {
  --running_;
  if (context_.workers) context_.workers(-1);
  checkDrained();
}

void BatchRun::checkDrained() {
  if (running_ == 0 && preloadPending_ == 0 && (ended_ || isCancelled())) {
    // Queued: whoever reacts by deleting this object does so after this call returns.
    QMetaObject::invokeMethod(this, [this] { emit drained(); }, Qt::QueuedConnection);
  }
}

// ---------------------------------------------------------------------------------------
// Mirroring: the destination taken and every job decided, on a worker (an index of a
// large library takes a while to read, and deciding stats every source and output).

void BatchRun::decide() {
  if (isCancelled()) return;
  std::shared_ptr<PreparedMirror> prepared = std::move(mirroring_.prepared);
  mirror_ = prepared ? prepared->mirror()
                     : std::make_shared<LibraryMirror>(pathFromQString(destination_), settings_, mirroring_.options);
  std::vector<MirrorSource> work;  // of jobs_, in order
  work.reserve(jobs_.size());
  for (const auto& job : jobs_) work.push_back(mirroring_.sources[job->id()]);
  workerStarted();
  context_.pool->start([this, mirror = mirror_, prepared = std::move(prepared), work = std::move(work),
                        formats = formats_, stop = stop_.get_token(), shard = mirroring_.options] {
    const auto onWait = [this] {
      QMetaObject::invokeMethod(this, [this] { emit mirrorWaiting(); }, Qt::QueuedConnection);
    };
    auto opened = prepared ? prepared->opened(stop)
                           : mirror->store().open(shard.shardIndex, shard.shardCount, stop, onWait);
    std::vector<LibraryMirror::Decision> decided;  // of each job, in order
    if (opened) {
      // Mostly stat calls and index look-ups, spread over the cores: a library of
      // 200 000 sources takes seconds. Each thread takes a run of sources in import
      // (folder) order, so the store's open folders serve it.
      decided.resize(work.size());
      const std::size_t threads = std::clamp<std::size_t>(static_cast<std::size_t>(availableCores()), 1,
                                                          std::max<std::size_t>(1, work.size() / 2));
      const auto decideRange = [&](std::size_t part) {
        const std::size_t end = work.size() * (part + 1) / threads;
        for (std::size_t i = work.size() * part / threads; i < end && !stop.stop_requested(); ++i)
          decided[i] = mirror->decide(work[i], formats);
      };
      {
        std::vector<std::jthread> helpers;
        for (std::size_t part = 1; part < threads; ++part) helpers.emplace_back(decideRange, part);
        decideRange(0);
      }
    }
    QMetaObject::invokeMethod(
        this,
        [this, decided = std::move(decided), error = opened ? QString() : opened.error()]() mutable {
          workerEnded();
          if (!error.isEmpty()) {
            emit mirrorWarning(QStringLiteral("index of %1 not usable: %2").arg(destination_, error));
            // Nothing is converted blind: without its index a mirror could only duplicate.
            for (const auto& job : jobs_) {
              if (job->status().kind() == ConversionStatus::Kind::pending)
                job->setStatus(ConversionStatus::failed(ConversionError::outputDirectoryNotWritable()));
            }
            jobs_.clear();
            total_ = 0;
            end();
            return;
          }
          applyDecisions(std::move(decided));
        },
        Qt::QueuedConnection);
  });
}

void BatchRun::applyDecisions(std::vector<LibraryMirror::Decision> decided) {
  if (isCancelled() || decided.size() != jobs_.size()) return;
  warnFromStore();
  std::vector<JobPtr> remaining;
  for (std::size_t i = 0; i < jobs_.size(); ++i) {
    const JobPtr& job = jobs_[i];
    LibraryMirror::Decision& decision = decided[i];
    for (const fs::path& changed : decision.changedByUser) {
      emit mirrorWarning(QStringLiteral("kept %1: it changed since it was converted; the new "
                                        "output goes beside it")
                             .arg(toQString(changed)));
    }
    std::vector<fs::path> upToDate;
    for (const auto& [format, path] : decision.upToDate) upToDate.push_back(path);
    if (decision.convert.empty()) {
      // Decided by stat and index alone: an up-to-date source is never opened.
      if (!mirroring_.options.dryRun) {
        job->setOutputURLs({decision.upToDate.begin(), decision.upToDate.end()});
        job->setStatus(ConversionStatus::skipped());
      }
      addCompanionFolders(*job, upToDate);
      continue;
    }
    addCompanionFolders(*job, upToDate);
    decisions_[job->id()] = std::move(decision);
    remaining.push_back(job);
  }
  jobs_ = std::move(remaining);
  total_ = static_cast<int>(jobs_.size());
  preload();
}

void BatchRun::warnFromStore() {
  if (!mirror_) return;
  for (const QString& warning : mirror_->store().takeWarnings()) emit mirrorWarning(warning);
}

// ---------------------------------------------------------------------------------------
// Tags, plans, jobs

void BatchRun::preload() {
  if (isCancelled()) return;
  // Album ReplayGain groups tracks by their album tag, so it needs the tags too.
  if (settings_.preserveMetadata || settings_.writeReplayGain) {
    for (const auto& job : jobs_) {
      if (job->metadata()) continue;
      ++preloadPending_;
      context_.pool->start([this, job, source = job->sourceURL()] {
        AudioMetadata metadata = MetadataService::readMetadata(source);
        QMetaObject::invokeMethod(
            this,
            [this, job, metadata = std::move(metadata)] {
              job->setMetadata(metadata);
              if (--preloadPending_ > 0) return;
              plan();
              checkDrained();
            },
            Qt::QueuedConnection);
      });
    }
  }
  if (preloadPending_ == 0) plan();
}

void BatchRun::plan() {
  if (isCancelled()) return;
  const bool dryRun = mirroring_.options.dryRun;
  if (mirror_) {
    // Only the formats that are not up to date; a job's own earlier outputs may be
    // replaced by their new versions, a file at a new source's name may be adopted.
    std::set<QString> taken;
    for (std::size_t i = 0; i < jobs_.size(); ++i) {
      const LibraryMirror::Decision& decision = decisions_.at(jobs_[i]->id());
      std::set<QString> replaceable;
      for (const auto& [format, previous] : decision.previous) replaceable.insert(toQString(previous.path));
      JobPlan plan;
      plan.index = static_cast<int>(i);
      for (OutputFormat format : decision.convert) {
        fs::path occupied;
        plan.outputURLs.emplace_back(
            format, planOutput(format, *jobs_[i], destination_, settings_, taken,
                               {.createFolders = !dryRun,
                                .createdFolders = &createdFolders_,
                                .replaceable = &replaceable,
                                .occupied = &occupied}));
        const auto reason = decision.reasons.find(format);
        const auto relative = mirror_->store().tree().relativeOf(occupied);
        if (!occupied.empty() && reason != decision.reasons.end() &&
            reason->second == MirrorReason::newSource && relative &&
            !mirror_->store().isRecorded(*relative))
          plan.occupied[format] = occupied;
      }
      plans_.push_back(std::move(plan));
    }
  } else {
    plans_ = buildPlans(jobs_, formats_, destination_, settings_, &createdFolders_);
  }
  if (!dryRun) {
    // Temporaries of killed runs in the folders this batch writes to; those of live runs
    // (of any process) are locked and stay.
    std::set<fs::path> folders;
    for (const auto& plan : plans_) {
      for (const auto& [format, url] : plan.outputURLs) folders.insert(pathFromQString(url).parent_path());
    }
    for (const fs::path& folder : folders) sweepLeftovers(folder);
  }
  if (settings_.writeReplayGain && !dryRun) {
    for (const auto& plan : plans_) {
      const auto& job = *jobs_[static_cast<std::size_t>(plan.index)];
      if (mirror_) {
        // The album's other tracks may be up to date: its values come from the index.
        const MirrorSource& source = mirroring_.sources[job.id()];
        if (auto key = libraryAlbumKey(job, source.libraryPath, source.track.has_value(), settings_.albumByFolder))
          albumOfJob_[job.id()] = std::move(*key);
        continue;
      }
      if (const auto key = albumKey(job, settings_.albumByFolder)) {
        ++albums_[*key].pending;
        albumOfJob_[job.id()] = *key;
      }
    }
    // One track is no album: its album values would only repeat the track's.
    if (!mirror_)
      std::erase_if(albumOfJob_, [&](const auto& entry) { return albums_[entry.second].pending < 2; });
    std::erase_if(albums_, [](const auto& entry) { return entry.second.pending < 2; });
  }
  startNextJobs();
}

void BatchRun::startNextJobs() {
  // A cancelled batch starts nothing more: its unstarted jobs stay pending.
  while (!isCancelled() && running_ < context_.limit && nextPlan_ < plans_.size()) {
    startJob(nextPlan_++);
  }
  const bool allStarted = nextPlan_ >= plans_.size();
  if (running_ > 0 || (!allStarted && !isCancelled())) return;
  // Nothing of this batch writes any more: folders it made that stayed empty (all their
  // jobs failed or were cancelled) go.
  removeEmptyFolders(std::exchange(createdFolders_, {}));
  if (isCancelled()) {
    mirror_.reset();  // its locks go with it
    return;
  }
  finishMirroring();
}

void BatchRun::startJob(std::size_t planIndex) {
  const JobPlan& plan = plans_[planIndex];
  JobPtr job = jobs_[static_cast<std::size_t>(plan.index)];
  // Taken by another batch meanwhile (only possible when batches overlap).
  if (job->status().kind() != ConversionStatus::Kind::pending) return;
  const bool dryRun = mirroring_.options.dryRun;
  ++started_;  // first: observers of the status read the count
  if (!dryRun) {
    job->setProgress(0.0);
    job->setStatus(ConversionStatus::converting());
  }
  workerStarted();

  WorkItem item;
  item.source = job->sourceURL();
  item.startFrame = job->startFrame();
  item.endFrame = job->endFrame();
  for (const auto& [format, url] : plan.outputURLs) item.outputs.emplace_back(format, pathFromQString(url));
  item.settings = settings_;
  item.metadata = job->metadata();
  item.convert = context_.convert;
  item.stop = stop_.get_token();
  item.settings.threads = jobThreads(context_.limit, running_,
                                     static_cast<int>(plans_.size() - planIndex - 1),
                                     availableCores());
  item.adoptable = plan.occupied;
  item.dryRun = dryRun;
  if (mirror_) {
    const LibraryMirror::Decision& decision = decisions_.at(job->id());
    item.mirror = mirror_;
    item.mirrorSource = mirroring_.sources[job->id()];
    item.sourceStamp = decision.sourceStamp;
    item.previous = decision.previous;
    item.reasons = decision.reasons;
    if (const auto album = albumOfJob_.find(job->id()); album != albumOfJob_.end()) item.albumKey = album->second;
  }

  auto relay = std::make_shared<ProgressRelay>();
  std::vector<OutputFormat> formats;
  for (const auto& output : item.outputs) formats.push_back(output.first);
  JobProgress progress = [this, relay, job, formats](std::size_t output, double value) {
    const bool moved = relay->output.exchange(static_cast<int>(output)) != static_cast<int>(output);
    // Only forward: a report at or below the last one changes nothing on screen.
    const bool rose = value > relay->latest.load();
    if (rose) relay->latest.store(value);
    if (!moved && !rose) return;
    if (relay->posted.exchange(true)) return;  // an update is already queued
    QMetaObject::invokeMethod(
        this,
        [relay, job, formats] {
          relay->posted.store(false);
          const auto index = static_cast<std::size_t>(relay->output.load());
          if (index < formats.size()) {
            job->setCurrentOutput(ConversionJob::OutputStep{formats[index], static_cast<int>(index),
                                                            static_cast<int>(formats.size())});
          }
          job->setProgress(relay->latest.load());
        },
        Qt::QueuedConnection);
  };

  context_.pool->start([this, job, item = std::move(item), progress = std::move(progress)] {
    const auto onWritten = [this, job](OutputFormat format, const fs::path& path) {
      QMetaObject::invokeMethod(
          this, [job, format, path] { job->setOutputURL(format, path); }, Qt::QueuedConnection);
    };
    JobOutcome outcome = runJob(item, progress, onWritten);
    QMetaObject::invokeMethod(
        this, [this, job, outcome = std::move(outcome)] { finishJob(job, outcome); },
        Qt::QueuedConnection);
  });
}

void BatchRun::finishJob(const JobPtr& job, JobOutcome outcome) {
  workerEnded();
  job->setCurrentOutput(std::nullopt);
  report(outcome.actions);
  warnFromStore();
  std::vector<fs::path> kept;
  for (const OutputOutcome& output : outcome.outputs) {
    if (!output.error) kept.push_back(output.path);
    if (output.adopted) ++report_.adopted;
  }
  addCompanionFolders(*job, kept);
  if (mirroring_.options.dryRun) {
    startNextJobs();
    return;
  }
  const bool allAdopted = !outcome.outputs.empty() &&
                          std::ranges::all_of(outcome.outputs, &OutputOutcome::adopted);
  if (outcome.error) {
    job->setStatus(ConversionStatus::failed(*outcome.error));
  } else if (allAdopted) {
    // Nothing was converted: its outputs were there already, now known again.
    job->setStatus(ConversionStatus::skipped());
  } else {
    job->setStatus(ConversionStatus::completed());
    ++completed_;
  }
  addHistory(*job, outcome);
  finishAlbumTrack(job, outcome);
  startNextJobs();
}

void BatchRun::addHistory(const ConversionJob& job, const JobOutcome& outcome) {
  // One entry per output file kept; a format that failed beside kept ones gets a failed
  // entry under its planned name, so the history says which of the job's files is missing.
  const bool keptAny = std::ranges::any_of(
      outcome.outputs, [](const OutputOutcome& output) { return !output.error && !output.adopted; });
  if (!keptAny || !context_.history) return;
  for (const OutputOutcome& output : outcome.outputs) {
    if (output.adopted) continue;
    ConversionHistoryEntry entry;
    entry.date = QDateTime::currentDateTimeUtc();
    entry.sourceFileName = QString::fromStdString(job.sourceURL().filename().string());
    entry.sourcePath = toQString(job.sourceURL());
    entry.outputFileName = QString::fromStdString(output.path.filename().string());
    entry.outputPath = toQString(output.path);
    entry.outputFormat = QString::fromUtf8(displayName(output.format));
    entry.duration = output.duration;
    entry.successful = !output.error;
    if (output.error) entry.errorMessage = QString::fromStdString(output.error->errorDescription());
    entry.fileSizeBefore = outcome.sourceSize;
    entry.fileSizeAfter = output.size;
    context_.history->add(std::move(entry));
  }
}

void BatchRun::finishAlbumTrack(const JobPtr& job, const JobOutcome& outcome) {
  const auto key = albumOfJob_.find(job->id());
  if (key == albumOfJob_.end()) return;
  if (mirror_) {
    const bool measured = std::ranges::all_of(outcome.outputs, [](const OutputOutcome& output) {
      return output.error || output.loudness || !MetadataService::holdsReplayGain(output.format);
    });
    (outcome.error || !measured ? spoiledAlbums_ : touchedAlbums_).insert(key->second);
    return;
  }
  AlbumGroup& album = albums_[key->second];
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
  if (--album.pending > 0 || album.spoiled || isCancelled()) return;
  auto tags = albumTags(album);
  if (tags.empty()) return;
  // The outputs are under their final names already: each is rewritten through a hidden
  // copy renamed over it, on a worker, while the batch counts as running.
  workerStarted();
  context_.pool->start([this, tags = std::move(tags), mirror = mirror_] {
    for (const auto& [format, path, gains] : tags) {
      if (const auto failure = MetadataService::writeReplayGain(gains, format, path)) {
        platform::log(platform::LogCategory::metadata, platform::LogLevel::error,
                      "Album ReplayGain tags failed for " + path.filename().string() + ": " +
                          failure->text());
      }
      // The index keeps each output as written; album tags changed its stamp since.
      if (mirror) mirror->restamp(path);
    }
    QMetaObject::invokeMethod(
        this,
        [this] {
          workerEnded();
          startNextJobs();
        },
        Qt::QueuedConnection);
  });
}

void BatchRun::addCompanionFolders(const ConversionJob& job, const std::vector<fs::path>& outputs) {
  if (!mirroring_.copyCompanions) return;
  for (const fs::path& output : outputs)
    companionFolders_.emplace(job.sourceURL().parent_path(), output.parent_path());
  if (const auto source = mirroring_.sources.find(job.id()); source != mirroring_.sources.end()) {
    libraryFolders_[job.sourceURL().parent_path()] = libraryFolderOf(source->second.libraryPath);
  }
}

// ---------------------------------------------------------------------------------------
// The end

void BatchRun::finishMirroring() {
  std::set<std::string> albums;
  std::ranges::set_difference(touchedAlbums_, spoiledAlbums_, std::inserter(albums, albums.end()));
  for (const std::string& album : spoiledAlbums_) {
    // "Folder\nAlbum": the album's folder and name, as the user knows them.
    QString name = QString::fromStdString(album);
    name.replace(QStringLiteral("\ncue\n"), QStringLiteral(" ")).replace(QLatin1Char('\n'), QStringLiteral(": "));
    emit mirrorWarning(QStringLiteral("no album gain for %1: not every track converted").arg(name));
  }
  if (!mirror_ || (!mirroring_.deleteOrphans && !mirroring_.copyCompanions && albums.empty())) {
    end();
    return;
  }
  std::vector<CompanionFolder> folders;
  for (const auto& [source, output] : companionFolders_) folders.push_back({source, libraryFolders_[source], output});
  workerStarted();
  context_.pool->start([this, mirror = mirror_, folders = std::move(folders), albums = std::move(albums),
                        formats = settings_.enabledFormats,
                        orphans = mirroring_.deleteOrphans ? std::optional(mirroring_.orphans) : std::nullopt] {
    MirrorReport done;
    if (orphans) done.cleanup = mirror->removeOrphans(*orphans);
    // After the orphans: a removed track is no longer part of its album.
    updateMirrorAlbums(mirror->store(), albums, formats);
    if (!folders.empty()) done.companions = syncCompanions(mirror->store(), folders);
    QMetaObject::invokeMethod(
        this,
        [this, done = std::move(done)] {
          workerEnded();
          report_.cleanup = done.cleanup;
          report_.companions = done.companions;
          report(done.cleanup.actions);
          report(done.companions.actions);
          warnFromStore();
          end();
        },
        Qt::QueuedConnection);
  });
}

void BatchRun::report(const std::vector<MirrorAction>& actions) {
  for (const MirrorAction& action : actions) emit mirrorAction(action);
}

void BatchRun::end() {
  if (ended_ || isCancelled()) return;
  ended_ = true;
  if (mirror_) {
    mirror_->store().close();  // ends its journal, lets other runs in
    // An index of a large library takes a second to free: not on this thread.
    context_.pool->start([mirror = std::exchange(mirror_, nullptr)]() mutable { mirror.reset(); });
  }
  emit finished(completed_, total_);
  checkDrained();
}

}  // namespace vexal
