#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <stop_token>
#include <vector>

#include "engine/encode_request.h"
#include "model/conversion_job.h"
#include "model/conversion_settings.h"
#include "model/uuid.h"

namespace vexal {

class ConversionHistoryManager;
class PresetManager;
class WatchFolderService;

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
  // The engine entry; replaceable so tests can inject failures.
  using ConvertFunction = std::function<Expected<>(
      const std::filesystem::path& source, const std::filesystem::path& output,
      OutputFormat format, const ConversionSettings& settings,
      std::optional<std::int64_t> startFrame, std::optional<std::int64_t> endFrame,
      ProgressCallback progress, std::stop_token stop)>;

  struct Options {
    QString historyFile;  // empty: storageURL("history.json")
    QString presetsFile;  // empty: storageURL("presets.json")
    QString outputDirectory;  // empty: the Music folder
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
  void handleWatchedFiles(const QStringList& paths);

  // Batch run.
  void startConversion();
  void cancelConversion();
  int convertingCount() const;
  int remainingCount() const;
  double overallProgress() const;

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

 private:
  struct Batch;
  void appendJob(JobPtr job);

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
};

// Output planning for one job and format: template, sub-folders, and a free name.
// `taken` holds paths planned earlier in the batch; they count as existing.
QString planOutput(OutputFormat format, const ConversionJob& job, const QString& outputDirectory,
                   const ConversionSettings& settings, std::set<QString>& taken);

}  // namespace vexal
