#pragma once

#include <QObject>
#include <QString>
#include <QThreadPool>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <stop_token>
#include <string>
#include <unordered_map>
#include <vector>

#include "model/conversion_job.h"
#include "model/conversion_settings.h"
#include "model/uuid.h"
#include "orchestration/album_gain.h"
#include "orchestration/companion_sync.h"
#include "orchestration/job_runner.h"
#include "orchestration/library_mirror.h"
#include "orchestration/output_planner.h"

namespace vexal {

class ConversionHistoryManager;

// What a mirroring batch did besides converting.
struct MirrorReport {
  int adopted = 0;
  LibraryMirror::Cleanup cleanup;  // --delete
  CompanionReport companions;      // --copy
};

// One batch, from its pending jobs to its end: when mirroring, the destination taken and
// each job decided against the index (off the main thread); tags read; outputs planned;
// jobs run on the pool under the concurrency limit; album values written; then the
// mirror's orphans removed and companions copied. Lives on the main thread, where every
// job is changed; the work runs on workers that report back through queued calls.
class BatchRun : public QObject {
  Q_OBJECT
 public:
  using JobPtr = std::shared_ptr<ConversionJob>;

  struct Mirroring {
    bool enabled = false;
    LibraryMirror::Options options;
    bool deleteOrphans = false;
    bool copyCompanions = false;
    std::unordered_map<Uuid, MirrorSource> sources;  // of every job of the batch
    LibraryMirror::OrphanScope orphans;
    // Opened before the batch (while its sources were imported), or none.
    std::shared_ptr<PreparedMirror> prepared;
  };
  struct Context {
    QThreadPool* pool = nullptr;
    ConversionHistoryManager* history = nullptr;
    ConvertFunction convert;
    int limit = 1;
    std::function<void(int delta)> workers;  // conversions running on workers, +1 / -1
  };

  BatchRun(std::vector<JobPtr> jobs, ConversionSettings settings, QString destination,
           Mirroring mirroring, Context context, QObject* parent = nullptr);

  void start();
  // Stops starting jobs; running conversions end with `cancelled` and their files go.
  void cancel();
  bool isCancelled() const { return stop_.stop_requested(); }
  // Jobs started so far, and the jobs to convert (after up-to-date ones were set aside).
  int started() const { return started_; }
  int total() const { return total_; }
  // The jobs it converts (up-to-date ones set aside once decided).
  const std::vector<JobPtr>& jobs() const { return jobs_; }
  const MirrorReport& mirrorReport() const { return report_; }

 signals:
  // The batch ended (not emitted once cancelled).
  void finished(int completed, int total);
  // Another run holds the destination; this one waits for it.
  void mirrorWaiting();
  void mirrorAction(const vexal::MirrorAction& action);
  void mirrorWarning(const QString& text);
  // Nothing of this batch runs on a worker any more and it will start nothing: it may go.
  void drained();

 private:
  void checkDrained();
  void decide();
  void applyDecisions(std::vector<LibraryMirror::Decision> decided);  // of jobs_, in order
  void preload();
  void plan();
  void startNextJobs();
  void startJob(std::size_t planIndex);
  void finishJob(const JobPtr& job, JobOutcome outcome);
  void finishAlbumTrack(const JobPtr& job, const JobOutcome& outcome);
  void finishMirroring();
  void end();
  void report(const std::vector<MirrorAction>& actions);
  void warnFromStore();
  void addCompanionFolders(const ConversionJob& job, const std::vector<std::filesystem::path>& outputs);
  void addHistory(const ConversionJob& job, const JobOutcome& outcome);
  void workerStarted();
  void workerEnded();

  std::vector<JobPtr> jobs_;
  ConversionSettings settings_;
  QString destination_;
  std::vector<OutputFormat> formats_;
  Mirroring mirroring_;
  Context context_;
  std::stop_source stop_;
  std::shared_ptr<LibraryMirror> mirror_;
  std::map<Uuid, LibraryMirror::Decision> decisions_;
  std::vector<JobPlan> plans_;
  std::vector<std::filesystem::path> createdFolders_;  // sub-folders planning made, parents first
  int total_ = 0;
  int completed_ = 0;
  int running_ = 0;  // jobs and album rewrites on workers
  int started_ = 0;
  std::size_t nextPlan_ = 0;
  int preloadPending_ = 0;
  bool ended_ = false;
  std::map<std::string, AlbumGroup> albums_;  // with "Write ReplayGain tags", by albumKey
  std::map<Uuid, std::string> albumOfJob_;
  // A mirroring batch's albums (by libraryAlbumKey) with a track converted, and those with
  // a track that failed: the former get album values from the index at the end.
  std::set<std::string> touchedAlbums_;
  std::set<std::string> spoiledAlbums_;
  std::set<std::pair<std::filesystem::path, std::filesystem::path>> companionFolders_;
  std::map<std::filesystem::path, std::string> libraryFolders_;  // source folder -> library path
  MirrorReport report_;
};

}  // namespace vexal
