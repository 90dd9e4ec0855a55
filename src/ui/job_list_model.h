#pragma once

#include <QAbstractItemModel>
#include <QString>
#include <QTimer>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "model/conversion_job.h"
#include "model/uuid.h"

namespace vexal {
class ConverterViewModel;
}

namespace vexal::ui {

// Jobs sharing an output sub-folder, in the order their first jobs come in the list.
struct FolderGroup {
  QString id;  // the sub-folder name, or "ungrouped"
  std::optional<QString> name;
  std::optional<QString> path;  // folder holding the first job's source file
  std::vector<std::shared_ptr<ConversionJob>> jobs;
};

inline const QString kUngroupedGroupID = QStringLiteral("ungrouped");

// Named groups first, in first-appearance order; then "ungrouped" when any job has no
// sub-folder.
// Stopped by the user: cancelled, or failed with the "cancelled" error of a conversion
// that saw the stop. Shown neutral, never as an error.
bool isCancelled(const ConversionStatus& status);

// The status a job row shows: its status text without the file name the row already
// shows (the full text is the row's tooltip and the metadata panel's).
QString statusReason(const ConversionJob& job);

// The output a converting job is writing: "MP3 2/3", or "MP3" when it writes one; empty
// before its first output starts.
QString outputStepText(const ConversionJob& job);

std::vector<FolderGroup> groupJobs(const std::vector<std::shared_ptr<ConversionJob>>& jobs);

// The orchestrator's job list as a tree: a header row per named group with its jobs as
// children, then the ungrouped jobs at the top level. Job changes are collected and
// repainted at most once per screen frame, so thousands of progress reports a second
// cost one repaint.
class JobListModel : public QAbstractItemModel {
  Q_OBJECT
 public:
  enum Role {
    JobIdRole = Qt::UserRole + 1,  // QString
    IsGroupRole,                   // bool
    GroupIdRole,                   // QString
    StatusKindRole,                // int (ConversionStatus::Kind)
    StatusTextRole,                // QString
    ProgressRole,                  // double 0…1
    CountRole,                     // int, jobs of a group
    OutputStepRole,                // QString while converting: "MP3 2/3", "FLAC" for one format
  };

  explicit JobListModel(ConverterViewModel& viewModel, QObject* parent = nullptr);

  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

  std::shared_ptr<ConversionJob> jobAt(const QModelIndex& index) const;
  bool isGroup(const QModelIndex& index) const;
  QString groupId(const QModelIndex& index) const;
  QModelIndex indexOfJob(const Uuid& id) const;
  QModelIndex indexOfGroup(const QString& id) const;
  int namedGroupCount() const { return static_cast<int>(groups_.size()); }

  // Repaints the collected changes now instead of at the next frame.
  void flushChanges();

 signals:
  // After each coalesced repaint; the window refreshes its totals at the same pace.
  void changesFlushed();

 private:
  struct Location {
    int group;  // -1: ungrouped
    int row;    // within the group, or within the ungrouped jobs
  };
  void rebuild();
  void insertJobs(int first, int count);
  void appendJob(const std::shared_ptr<ConversionJob>& job);
  void onJobChanged(const Uuid& id);
  const ConversionJob* jobFor(const QModelIndex& index) const;

  ConverterViewModel& viewModel_;
  std::vector<FolderGroup> groups_;  // named groups only
  std::vector<std::shared_ptr<ConversionJob>> ungrouped_;
  std::unordered_map<QString, int> groupIndex_;
  std::unordered_map<Uuid, Location> locations_;
  std::unordered_set<Uuid> dirty_;
  QTimer flushTimer_;
};

}  // namespace vexal::ui
