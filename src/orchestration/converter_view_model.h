#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "model/conversion_job.h"
#include "model/conversion_settings.h"
#include "model/uuid.h"
#include "orchestration/batch_run.h"
#include "orchestration/job_runner.h"
#include "orchestration/library_mirror.h"
#include "orchestration/run_progress.h"

namespace vexal {

class ConversionHistoryManager;
class DesktopNotices;
class PresetManager;
class WatchFolderService;

// The extensions accepted from drops, dialogs and the command line.
const std::set<QString>& acceptedAudioExtensions();

// The orchestrator: the job list, settings, destination, stores and watched folder,
// and the batch run. Lives on the main thread; every job and field is touched there
// only. Conversions run on worker threads and report back through queued calls.
class ConverterViewModel : public QObject {
  Q_OBJECT
 public:
  using JobPtr = std::shared_ptr<ConversionJob>;
  using ConvertFunction = vexal::ConvertFunction;

  struct Options {
    QString historyFile;            // empty: storageURL("history.json")
    QString presetsFile;            // empty: storageURL("presets.json")
    QString outputDirectory;        // empty: the Music folder
    bool postNotifications = true;  // the desktop notice at the end of a batch
    QString settingsFile;           // the window's remembered state; empty: none (tests)
  };

  // What a mirroring batch ("Skip files already converted") does besides converting.
  struct MirrorOptions {
    bool dryRun = false;          // decide and report, write nothing
    bool deleteOrphans = false;   // remove recorded outputs whose source is gone
    bool copyCompanions = false;  // cover art, booklets, cue sheets, logs
    int shardIndex = 0;           // 0-based
    int shardCount = 1;
  };

  explicit ConverterViewModel(QObject* parent = nullptr);
  ConverterViewModel(Options options, QObject* parent = nullptr);
  ~ConverterViewModel() override;

  const std::vector<JobPtr>& jobs() const { return jobs_; }
  JobPtr job(const Uuid& id) const;
  const ConversionSettings& settings() const { return settings_; }
  void setSettings(const ConversionSettings& settings);
  const QString& outputDirectory() const { return outputDirectory_; }
  // Kept absolute and normalised ("Music/", "./Music" and "Music" are one folder).
  void setOutputDirectory(const QString& folder);
  bool isConverting() const { return isConverting_; }
  const std::set<Uuid>& selectedJobIDs() const { return selectedJobIDs_; }
  void setSelectedJobIDs(std::set<Uuid> ids);

  ConversionHistoryManager& historyManager() { return *historyManager_; }
  PresetManager& presetManager() { return *presetManager_; }
  WatchFolderService& watchFolderService() { return *watchFolderService_; }

  // Import. `importURLs` is the pass shared by drops, dialogs and the command line:
  // cue sheets are imported, folders walked (keeping their inner structure, leaving out
  // the destination and, when mirroring, the files its index records), other files
  // added when their extension is accepted.
  void importURLs(const QStringList& paths);
  void addFiles(const QStringList& paths, const std::optional<QString>& subfolder = std::nullopt);
  void importCueSheet(const QString& path, const std::optional<QString>& subfolder = std::nullopt);
  void removeSelectedJobs();
  // Failed and cancelled jobs among `ids` go back to pending, their outputs forgotten.
  void retryJobs(const std::set<Uuid>& ids);
  // Removes completed, failed and cancelled jobs.
  void clearFinishedJobs();
  // Files found in the watched folder; those found while a batch runs start the next
  // batch when it ends.
  void handleWatchedFiles(const QStringList& paths);

  // Batch run.
  void startConversion();
  void cancelConversion();
  bool hasPendingJobs() const;
  int convertingCount() const;
  int remainingCount() const;
  // Of the run: the running batch and, while it runs, the files queued to follow it
  // (watched-folder arrivals). Never falls during a run.
  double overallProgress() const;
  // Jobs of the run started so far and its size, queued files included; 0 when none runs.
  int batchStartedCount() const;
  int batchTotal() const;
  // Conversions still running on workers, including those of a cancelled batch.
  int activeWorkerCount() const { return activeWorkers_; }

  // Mirroring. A job's library path: its source relative to the parent of the folder (or
  // the file) it was imported from, "Album/CD1/01.flac"; for a cue track, its sheet's.
  std::string libraryPath(const ConversionJob& job) const;
  MirrorSource mirrorSource(const ConversionJob& job) const;
  // Keeps only the jobs of shard `index` (0-based) of `count`; an album (a folder, a cue
  // sheet) is never split.
  void keepShard(int index, int count);
  void setMirrorOptions(MirrorOptions options) { mirrorOptions_ = options; }
  // With "Skip files already converted": takes the destination and reads its index now,
  // beside the import that follows, for the next batch. Call once the settings, the
  // destination and the mirror options are final.
  void openMirrorAhead();
  // What the last mirroring batch did besides converting (removed, copied, adopted).
  const MirrorReport& mirrorReport() const { return mirrorReport_; }

  // Tests and the command line.
  void setConcurrencyLimit(int limit);  // 0: the cores this process may use
  void setConvertFunction(ConvertFunction convert);

 signals:
  void jobsInserted(int first, int count);
  void jobsRemoved();
  void jobChanged(const vexal::Uuid& id, vexal::ConversionJob::Field field);
  void isConvertingChanged(bool converting);
  void settingsChanged();
  void outputDirectoryChanged();
  void selectionChanged();
  // A batch ended (not emitted for a cancelled batch).
  void batchFinished(int completed, int total);
  // No conversion of any batch (a cancelled one included) is still running on a worker.
  void workersIdle();
  // "Show in Folder" of the completion notice was chosen.
  void showFolderRequested(const QString& folder);
  // Mirroring: another run holds the destination and this batch waits for it; what a
  // run does (or in a dry run would do) to each file; what the user should know.
  void mirrorWaiting(const QString& destination);
  void mirrorAction(const vexal::MirrorAction& action);
  void mirrorWarning(const QString& text);
  // `importURLs` left out `path` (as given, or below the folder given): missing, a FIFO, a
  // device, a folder it could not read, a folder named like audio holding none.
  void importSkipped(const QString& path, const QString& reason);

 private:
  struct CueTrackSource {
    std::filesystem::path sheet;
    std::int64_t number = 0;
  };
  void appendJob(JobPtr job);
  void removeJobsIf(const std::function<bool(const ConversionJob&)>& remove);
  void addFileGroups(const std::vector<std::pair<QStringList, std::optional<QString>>>& groups);
  void startBatch(bool continuesRun);
  void onBatchFinished(BatchRun* batch, int completed, int total);
  void notifyCompletion(int completed, int total);
  BatchRun::Mirroring mirroringFor(const std::vector<JobPtr>& jobs) const;

  std::vector<JobPtr> jobs_;
  std::unordered_map<Uuid, JobPtr> jobsById_;  // the same jobs, found by id
  ConversionSettings settings_;
  QString outputDirectory_;
  bool isConverting_ = false;
  std::set<Uuid> selectedJobIDs_;
  std::unique_ptr<ConversionHistoryManager> historyManager_;
  std::unique_ptr<PresetManager> presetManager_;
  std::unique_ptr<WatchFolderService> watchFolderService_;
  BatchRun* batch_ = nullptr;  // the running batch, a child
  int concurrencyLimit_ = 0;
  ConvertFunction convert_;
  bool postNotifications_ = true;
  DesktopNotices* notices_ = nullptr;  // child, made with the first notice
  int activeWorkers_ = 0;
  bool watchedDuringBatch_ = false;  // watched files waiting for the running batch to end
  int runEarlierJobs_ = 0;           // jobs of the run's earlier batches, all finished
  mutable RunProgress runProgress_;
  MirrorOptions mirrorOptions_;
  std::shared_ptr<PreparedMirror> preparedMirror_;
  ConversionSettings preparedSettings_;  // what the prepared mirror was opened for
  MirrorReport mirrorReport_;
  std::unordered_map<Uuid, ConversionJob::ObserverId> observers_;
  std::unordered_map<Uuid, std::string> libraryPaths_;          // of every job imported
  std::unordered_map<Uuid, CueTrackSource> cueTracks_;          // of cue-track jobs
  std::map<std::string, std::filesystem::path> libraryRoots_;  // root name -> its folder
  std::vector<std::filesystem::path> importedFolders_;          // folders given, absolute
  // Last member: destroyed first, so its workers finish while everything else still exists.
  std::unique_ptr<QThreadPool> pool_;
};

// The body of the completion notice: "3 of 4 files converted successfully.".
QString completionMessage(int completed, int total);
// Its title: "Conversion Complete", or "Conversion Finished with Errors" when a job failed.
QString completionTitle(int completed, int total);

}  // namespace vexal
