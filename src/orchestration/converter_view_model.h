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
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "engine/encode_request.h"
#include "model/conversion_job.h"
#include "model/conversion_settings.h"
#include "model/uuid.h"
#include "orchestration/library_mirror.h"

namespace vexal {

class ConversionHistoryManager;
class DesktopNotices;
class PresetManager;
class WatchFolderService;
struct CueSheet;

// The extensions accepted from drops, dialogs and the command line.
const std::set<QString>& acceptedAudioExtensions();

// One planned output file per enabled format, in raw-value order.
struct JobPlan {
  int index = 0;
  std::vector<std::pair<OutputFormat, QString>> outputURLs;
};

// The orchestrator: the job list, settings, destination, stores and watched folder,
// and the batch run. Lives on the main thread; every job and field is touched there
// only. Conversions run on worker threads and report back through queued calls.
class ConverterViewModel : public QObject {
  Q_OBJECT
 public:
  using JobPtr = std::shared_ptr<ConversionJob>;
  // The engine entry; replaceable so tests can inject failures. `tags` is the job's tag
  // record, written instead of the source's when given.
  using ConvertFunction = std::function<Expected<>(
      const std::filesystem::path& source, const std::filesystem::path& output, OutputFormat format,
      const ConversionSettings& settings, std::optional<std::int64_t> startFrame,
      std::optional<std::int64_t> endFrame, ProgressCallback progress, std::stop_token stop,
      const AudioMetadata* tags, ConversionTally* tally)>;

  struct Options {
    QString historyFile;            // empty: storageURL("history.json")
    QString presetsFile;            // empty: storageURL("presets.json")
    QString outputDirectory;        // empty: the Music folder
    bool postNotifications = true;  // the desktop notice at the end of a batch
    QString settingsFile;           // the window's remembered state; empty: none (tests)
  };

  explicit ConverterViewModel(QObject* parent = nullptr);
  ConverterViewModel(Options options, QObject* parent = nullptr);
  ~ConverterViewModel() override;

  const std::vector<JobPtr>& jobs() const { return jobs_; }
  JobPtr job(const Uuid& id) const;
  const ConversionSettings& settings() const { return settings_; }
  void setSettings(const ConversionSettings& settings);
  const QString& outputDirectory() const { return outputDirectory_; }
  void setOutputDirectory(const QString& folder);
  bool isConverting() const { return isConverting_; }
  const std::set<Uuid>& selectedJobIDs() const { return selectedJobIDs_; }
  void setSelectedJobIDs(std::set<Uuid> ids);

  ConversionHistoryManager& historyManager() { return *historyManager_; }
  PresetManager& presetManager() { return *presetManager_; }
  WatchFolderService& watchFolderService() { return *watchFolderService_; }

  // Import. `importURLs` is the pass shared by drops, dialogs and the command line:
  // cue sheets are imported, folders walked (keeping their inner structure), other
  // files added when their extension is accepted.
  void importURLs(const QStringList& paths);
  void addFiles(const QStringList& paths, const std::optional<QString>& subfolder = std::nullopt);
  void importCueSheet(const QString& path);
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
  double overallProgress() const;
  // Of the running batch: the jobs started so far and its size; 0 when none runs.
  int batchStartedCount() const;
  int batchTotal() const;
  // Conversions still running on workers, including those of a cancelled batch.
  int activeWorkerCount() const { return activeWorkers_; }

  // Mirroring. A job's library path: its source relative to the parent of the folder (or
  // the file) it was imported from, "Album/CD1/01.flac"; the index and shards use it.
  std::string libraryPath(const ConversionJob& job) const;
  // Keeps only the jobs of shard `index` (0-based) of `count`.
  void keepShard(int index, int count);
  // Removes outputs of imported folders whose source is gone (see LibraryMirror).
  LibraryMirror::Cleanup removeOrphanedOutputs(int shardIndex = 0, int shardCount = 1);
  // Copies companion files of the converted and up-to-date jobs' folders beside their
  // outputs.
  CompanionReport copyCompanionFiles();

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
  // The destination's index of converted files could not be written; the outputs stay,
  // but the next mirroring run does not know them.
  void libraryIndexSaveFailed(const QString& message);

 private:
  struct Batch;
  struct JobOutcome;
  void appendJob(JobPtr job);
  void removeJobsIf(const std::function<bool(const ConversionJob&)>& remove);
  void addFileGroups(const std::vector<std::pair<QStringList, std::optional<QString>>>& groups);
  void beginBatch(const std::shared_ptr<Batch>& batch);
  void planAndRun(const std::shared_ptr<Batch>& batch);
  void startNextJobs(const std::shared_ptr<Batch>& batch);
  void startJob(const std::shared_ptr<Batch>& batch, std::size_t planIndex);
  void finishJob(const std::shared_ptr<Batch>& batch, const JobPtr& job, JobOutcome outcome);
  void finishAlbumTrack(const std::shared_ptr<Batch>& batch, const JobPtr& job,
                        const JobOutcome& outcome);
  void notifyCompletion(int completed, int total);
  void saveLibraryIndex(const std::shared_ptr<Batch>& batch);

  std::vector<JobPtr> jobs_;
  ConversionSettings settings_;
  QString outputDirectory_;
  bool isConverting_ = false;
  std::set<Uuid> selectedJobIDs_;
  std::unique_ptr<ConversionHistoryManager> historyManager_;
  std::unique_ptr<PresetManager> presetManager_;
  std::unique_ptr<WatchFolderService> watchFolderService_;
  std::shared_ptr<Batch> batch_;
  int concurrencyLimit_ = 0;
  ConvertFunction convert_;
  bool postNotifications_ = true;
  DesktopNotices* notices_ = nullptr;  // child, made with the first notice
  int activeWorkers_ = 0;
  bool watchedDuringBatch_ = false;  // watched files waiting for the running batch to end
  std::map<Uuid, ConversionJob::ObserverId> observers_;
  std::map<Uuid, std::string> libraryPaths_;              // of every job imported
  std::map<std::string, std::filesystem::path> libraryRoots_;  // root name -> its folder
  // Last member: destroyed first, so its workers finish while everything else still exists.
  std::unique_ptr<QThreadPool> pool_;
};

// `folder`/`name`, with " (n)" when n > 0, then "." and `extension`: the one spelling of
// a name moved aside by a clash, at planning and again at the final rename.
std::filesystem::path numberedPath(const std::filesystem::path& folder, const std::string& name,
                                   std::string_view extension, std::int64_t n);

// Output planning for one job and format: template, sub-folders, and a free name.
// `taken` holds paths planned earlier in the batch; they count as existing. Sub-folders
// made here are appended to `createdFolders`, parents first. Existing files in
// `replaceable` (this job's own earlier outputs) count as free.
QString planOutput(OutputFormat format, const ConversionJob& job, const QString& outputDirectory,
                   const ConversionSettings& settings, std::set<QString>& taken,
                   std::vector<std::filesystem::path>* createdFolders = nullptr,
                   const std::set<QString>* replaceable = nullptr);

// One plan per job, in job order; outputs in `formats` order. Paths planned earlier
// count as taken, so no two outputs of one batch share a path.
std::vector<JobPlan> buildPlans(const std::vector<ConverterViewModel::JobPtr>& jobs,
                                const std::vector<OutputFormat>& formats,
                                const QString& outputDirectory, const ConversionSettings& settings,
                                std::vector<std::filesystem::path>* createdFolders = nullptr);

// Every output is written under a hidden temporary in its planned folder and appears
// under a real name only when finished, so a killed run leaves no partial file there.
inline constexpr std::string_view kPartPrefix = ".vexal-part-";

// ".vexal-part-<UUID>" plus `planned`'s extension, beside it, created empty and
// exclusively. When the folder refuses it the path is still returned; writing there
// then fails with the engine's error.
std::filesystem::path createPartFile(const std::filesystem::path& planned);

// Flushes a finished `part` to disk and renames it to `planned`, or to the next free
// " (n)" name when something appeared there since planning: an existing file is never
// replaced. Returns the name taken.
Expected<std::filesystem::path> commitPart(const std::filesystem::path& part,
                                           const std::filesystem::path& planned);

// Renames without ever replacing: 0, EEXIST when `to` is taken, or another errno.
int renameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to);

// The destination folders of one running batch, held (flock, shared) while it lives so
// that no batch of this or another process sweeps them meanwhile. Taking a folder that
// no batch holds first removes the temporaries a killed run left there.
class DestinationFolders {
 public:
  DestinationFolders() = default;
  explicit DestinationFolders(std::vector<std::filesystem::path> folders);
  ~DestinationFolders();
  DestinationFolders(const DestinationFolders&) = delete;
  DestinationFolders& operator=(const DestinationFolders&) = delete;

 private:
  std::vector<int> held_;  // open folder descriptors
};

// Removes those of `folders` that are empty, deepest first; others stay.
void removeEmptyFolders(std::vector<std::filesystem::path> folders);

// What import reads of one audio file of a cue sheet.
struct CueAudioFile {
  std::filesystem::path path;
  double sampleRate = 0;
  std::int64_t totalFrames = 0;
  AudioMetadata tags;  // the file's own: album, date, genre, disc and cover when the sheet has none
};

// One job per track of a parsed sheet; `files` holds one entry per FILE of the sheet, in
// its order. A track runs from its INDEX 01 (from its file's start for the file's first
// track) to the next track's INDEX 01 in the same file, or to that file's end, so the
// tracks together cover every file exactly. `cueBaseName` is the sheet's file name
// without extension.
std::vector<ConverterViewModel::JobPtr> makeCueTrackJobs(const CueSheet& sheet,
                                                         const std::vector<CueAudioFile>& files,
                                                         const QString& cueBaseName);

// A finished output decoded once more (decodeOutput, without loudness).
using VerificationResult = DecodedOutput;
VerificationResult verifyOutput(const std::filesystem::path& url, std::stop_token stop = {});

// What is wrong with a decoded output against what the conversion encoded ("decoded
// 1.20 s of 1.50 s", "audio differs from the source"); nothing when it matches. A tally
// without a rate (nothing reported) checks decoding only.
std::optional<std::string> verificationFailure(const VerificationResult& decoded,
                                               const ConversionTally& encoded);

// The body of the completion notice: "3 of 4 files converted successfully.".
QString completionMessage(int completed, int total);
// Its title: "Conversion Complete", or "Conversion Finished with Errors" when a job failed.
QString completionTitle(int completed, int total);

// Processor cores this process may run on (its affinity mask), at least 1.
int availableCores();
// Threads for a job starting while `running` jobs (itself included) run and `queued`
// wait, at most `limit` at once: 2 (reading beside encoding) while fewer jobs than
// `cores` run at once, else 1.
int jobThreads(int limit, int running, int queued, int cores);

}  // namespace vexal
