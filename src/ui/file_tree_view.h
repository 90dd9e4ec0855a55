#pragma once

#include <QStyledItemDelegate>
#include <QTreeView>
#include <optional>
#include <set>

#include "model/uuid.h"

namespace vexal::ui {

class JobListModel;

// Draws group headers (chevron, folder icon, name, job count) and job rows (status
// glyph, name, status text, and a progress bar while converting).
class JobItemDelegate : public QStyledItemDelegate {
  Q_OBJECT
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  static constexpr int kRowHeight = 30;

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

// The job list grouped by folder. Clicking a header folds or unfolds its group; the
// selection is reported as job ids.
class FileTreeView : public QTreeView {
  Q_OBJECT
 public:
  explicit FileTreeView(JobListModel* model, QWidget* parent = nullptr);

  JobListModel* jobModel() const { return model_; }
  const std::set<QString>& collapsedFolders() const { return collapsedFolders_; }
  void toggleFolder(const QString& groupId);
  std::set<Uuid> selectedJobIDs() const;
  // Scrolls to a job that started converting, unless the user scrolled the list
  // during this batch.
  void follow(const Uuid& id);
  void resumeFollowing() { userScrolled_ = false; }
  bool isFollowing() const { return !userScrolled_; }
  // No current row, also none to take back when the focus returns.
  void clearCurrent();

 signals:
  void selectedJobsChanged(const std::set<vexal::Uuid>& ids);
  // The job last clicked, or none.
  void currentJobChanged(const std::optional<vexal::Uuid>& id);

 protected:
  // Assistive technology reads the current row as focused wherever the focus is, so the
  // list lets go of its current row while the focus is elsewhere (quietly: the row stays
  // selected and in the metadata panel) and takes it back when the focus returns.
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  void applyFolding();
  void applyFolding(const QModelIndex& group);

  JobListModel* model_;
  std::set<QString> collapsedFolders_;
  bool userScrolled_ = false;
  bool scrollingToFollow_ = false;
  QPersistentModelIndex parkedCurrent_;
};

}  // namespace vexal::ui
