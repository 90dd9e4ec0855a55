#include "ui/file_tree_view.h"

#include <QApplication>
#include <QHeaderView>
#include <QPainter>
#include <QFocusEvent>
#include <QScrollBar>
#include <QSignalBlocker>

#include "model/conversion_job.h"
#include "ui/colors.h"
#include "ui/icons.h"
#include "ui/job_list_model.h"
#include "ui/progress_bar_view.h"

namespace vexal::ui {
namespace {

constexpr int kProgressWidth = 110;    // px, the progress bar at its widest
constexpr int kMinProgressWidth = 40;  // px
constexpr int kProgressHeight = 6;     // px
constexpr int kGlyphSize = 16;         // px
constexpr int kGap = 10;               // px between glyph, name and status

QString statusSymbol(ConversionStatus::Kind kind) {
  switch (kind) {
    case ConversionStatus::Kind::completed:
    case ConversionStatus::Kind::skipped:
      return QStringLiteral("checkmark.circle.fill");
    case ConversionStatus::Kind::failed:
      return QStringLiteral("xmark.circle.fill");
    case ConversionStatus::Kind::cancelled:
      return QStringLiteral("stop.fill");
    case ConversionStatus::Kind::converting:
      return QStringLiteral("arrow.triangle.2.circlepath");
    case ConversionStatus::Kind::pending:
      return QStringLiteral("waveform");
  }
  return {};
}

}  // namespace

QSize JobItemDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
  return {option.rect.width(), kRowHeight};
}

void JobItemDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const {
  QStyleOptionViewItem opt = option;
  initStyleOption(&opt, index);
  const QWidget* widget = option.widget;
  QStyle* style = widget ? widget->style() : QApplication::style();
  // Native selection and hover background, nothing else from the style.
  opt.text.clear();
  opt.icon = QIcon();
  style->drawPrimitive(QStyle::PE_PanelItemViewItem, &opt, painter, widget);

  const bool selected = option.state & QStyle::State_Selected;
  const QIcon::Mode iconMode = selected ? QIcon::Selected : QIcon::Normal;
  const QPalette::ColorGroup group =
      option.state & QStyle::State_Active ? QPalette::Active : QPalette::Inactive;
  const QColor text =
      option.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text);
  // Faded beside the name, except on the selection, whose colour leaves no room for it:
  // selecting a failed row is how its reason is read.
  QColor secondary = text;
  if (!selected) secondary.setAlphaF(0.6f);
  QRect r = option.rect.adjusted(8, 0, -12, 0);
  painter->save();
  if (option.state & QStyle::State_HasFocus && widget && widget->hasFocus()) {
    // The keyboard's place in the list.
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(QPen(option.palette.color(QPalette::Active, QPalette::Highlight), 1.5));
    painter->setBrush(Qt::NoBrush);
    painter->drawRoundedRect(QRectF(option.rect).adjusted(1.5, 1.5, -1.5, -1.5), 4, 4);
  }

  if (index.data(JobListModel::IsGroupRole).toBool()) {
    const bool expanded = option.state & QStyle::State_Open;
    QStyleOption arrow;
    arrow.rect = QRect(r.left(), r.center().y() - 6, 12, 12);
    arrow.palette = option.palette;
    style->drawPrimitive(expanded ? QStyle::PE_IndicatorArrowDown : QStyle::PE_IndicatorArrowRight,
                         &arrow, painter, widget);
    const QRect iconRect(r.left() + 18, r.center().y() - kGlyphSize / 2, kGlyphSize, kGlyphSize);
    symbolIcon(QStringLiteral("folder")).paint(painter, iconRect, Qt::AlignCenter, iconMode);
    QFont bold = option.font;
    bold.setBold(true);
    painter->setFont(bold);
    const QString count = QString::number(index.data(JobListModel::CountRole).toInt());
    const QFontMetrics fm(bold);
    const int pillWidth = fm.horizontalAdvance(count) + 14;
    const QRect pill(r.right() - pillWidth, r.center().y() - 9, pillWidth, 18);
    QColor pillColor = option.palette.color(QPalette::WindowText);
    pillColor.setAlphaF(0.1f);
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(Qt::NoPen);
    painter->setBrush(pillColor);
    painter->drawRoundedRect(pill, 9, 9);
    painter->setPen(secondary);
    painter->drawText(pill, Qt::AlignCenter, count);
    painter->setPen(text);
    const QRect nameRect(iconRect.right() + 8, r.top(), pill.left() - iconRect.right() - 16,
                         r.height());
    painter->drawText(
        nameRect, Qt::AlignVCenter | Qt::AlignLeft,
        fm.elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideRight, nameRect.width()));
    painter->restore();
    return;
  }

  // A job outside any folder sits at the depth of the grouped jobs, not of the headers.
  const auto* tree = qobject_cast<const QTreeView*>(widget);
  if (tree && !index.parent().isValid() && index.model()->rowCount() > 0 &&
      index.model()->index(0, 0).data(JobListModel::IsGroupRole).toBool())
    r.setLeft(r.left() + tree->indentation());
  auto kind = static_cast<ConversionStatus::Kind>(index.data(JobListModel::StatusKindRole).toInt());
  if (auto job = static_cast<const JobListModel*>(index.model())->jobAt(index);
      job && isCancelled(job->status()))
    kind = ConversionStatus::Kind::cancelled;  // neutral, never red
  const QRect glyph(r.left(), r.center().y() - kGlyphSize / 2, kGlyphSize, kGlyphSize);
  symbolIcon(statusSymbol(kind))
      .paint(painter, glyph, Qt::AlignCenter,
             kind == ConversionStatus::Kind::pending && !selected ? QIcon::Disabled : iconMode);
  const QFontMetrics fm(option.font);
  painter->setFont(option.font);
  const QString name = index.data(Qt::DisplayRole).toString();
  // Name and status share the room after the glyph: the status (a reason, or the output
  // being written and the bar) takes what it needs up to a part of it, the name the rest,
  // cut at its end so it reads from the left.
  const int left = glyph.right() + kGap;
  const int room = std::max(0, r.right() - left - kGap);
  const int cap = std::max(room - fm.horizontalAdvance(name), room * 2 / 5);
  if (kind == ConversionStatus::Kind::converting) {
    const double progress = index.data(JobListModel::ProgressRole).toDouble();
    const QString percent = QString::number(static_cast<int>(progress * 100)) + QLatin1Char('%');
    const QString step = index.data(JobListModel::OutputStepRole).toString();
    const int percentWidth = fm.horizontalAdvance(QStringLiteral("100%")) + 6;
    const int stepWidth = step.isEmpty() ? 0 : fm.horizontalAdvance(step) + kGap;
    const int barWidth = std::clamp(cap - stepWidth - percentWidth, kMinProgressWidth, kProgressWidth);
    const int statusWidth = std::min(room, stepWidth + barWidth + percentWidth);
    const QRect status(r.right() - statusWidth + 1, r.top(), statusWidth, r.height());
    painter->setPen(text);
    painter->drawText(QRect(left, r.top(), status.left() - left - kGap, r.height()),
                      Qt::AlignVCenter | Qt::AlignLeft,
                      fm.elidedText(name, Qt::ElideRight, status.left() - left - kGap));
    const QRectF bar(status.right() - percentWidth - barWidth, status.center().y() - kProgressHeight / 2.0,
                     barWidth, kProgressHeight);
    ProgressBarView::paintBar(*painter, bar, progress, option.palette);
    painter->setPen(secondary);
    painter->drawText(QRect(status.left(), r.top(), stepWidth, r.height()), Qt::AlignVCenter | Qt::AlignLeft,
                      step);
    painter->drawText(QRect(status.right() - percentWidth, r.top(), percentWidth, r.height()),
                      Qt::AlignVCenter | Qt::AlignRight, percent);
  } else {
    const QString reason = index.data(JobListModel::StatusTextRole).toString();
    // A pixel over the advance: text exactly as wide as its box may still be cut.
    const int statusWidth = std::min(fm.horizontalAdvance(reason) + 1, cap);
    const QRect status(r.right() - statusWidth + 1, r.top(), statusWidth, r.height());
    painter->setPen(text);
    painter->drawText(QRect(left, r.top(), status.left() - left - kGap, r.height()),
                      Qt::AlignVCenter | Qt::AlignLeft,
                      fm.elidedText(name, Qt::ElideRight, status.left() - left - kGap));
    QColor statusColor = secondary;
    if (kind == ConversionStatus::Kind::failed && !selected) statusColor = errorColor(option.palette);
    painter->setPen(statusColor);
    painter->drawText(status, Qt::AlignVCenter | Qt::AlignRight,
                      fm.elidedText(reason, Qt::ElideRight, status.width()));
  }
  painter->restore();
}

FileTreeView::FileTreeView(JobListModel* model, QWidget* parent)
    : QTreeView(parent), model_(model) {
  setObjectName(QStringLiteral("FileTreeView"));
  setModel(model_);
  setItemDelegate(new JobItemDelegate(this));
  setHeaderHidden(true);
  setUniformRowHeights(true);  // lets the view lay out 10 000 rows without asking each one
  setRootIsDecorated(false);
  setItemsExpandable(false);
  setExpandsOnDoubleClick(false);
  setIndentation(20);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setFrameShape(QFrame::NoFrame);
  setAccessibleName(tr("Files"));
  setAccessibleDescription(
      tr("Files to convert, grouped by folder. Delete removes the selected "
         "files; the context menu key offers Show in Folder and Retry."));
  setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);

  connect(model_, &QAbstractItemModel::modelReset, this, [this] { applyFolding(); });
  connect(model_, &QAbstractItemModel::rowsInserted, this,
          [this](const QModelIndex& parent, int first, int last) {
            if (parent.isValid()) return;
            for (int row = first; row <= last; ++row) applyFolding(model_->index(row, 0));
          });
  connect(this, &QTreeView::clicked, this, [this](const QModelIndex& index) {
    if (model_->isGroup(index)) toggleFolder(model_->groupId(index));
  });
  connect(selectionModel(), &QItemSelectionModel::selectionChanged, this,
          [this] { emit selectedJobsChanged(selectedJobIDs()); });
  connect(selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& current) {
            if (auto job = model_->jobAt(current)) {
              emit currentJobChanged(job->id());
            } else {
              emit currentJobChanged(std::nullopt);
            }
          });
  connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this] {
    if (!scrollingToFollow_) userScrolled_ = true;
  });
  applyFolding();
}

void FileTreeView::focusOutEvent(QFocusEvent* event) {
  QTreeView::focusOutEvent(event);
  // A context menu over the list keeps its row.
  if (event->reason() == Qt::PopupFocusReason || !currentIndex().isValid()) return;
  parkedCurrent_ = currentIndex();
  const QSignalBlocker quiet(selectionModel());
  selectionModel()->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
}

void FileTreeView::focusInEvent(QFocusEvent* event) {
  if (parkedCurrent_.isValid() && !currentIndex().isValid()) {
    const QSignalBlocker quiet(selectionModel());
    selectionModel()->setCurrentIndex(parkedCurrent_, QItemSelectionModel::NoUpdate);
  }
  parkedCurrent_ = QPersistentModelIndex();
  QTreeView::focusInEvent(event);
}

void FileTreeView::clearCurrent() {
  parkedCurrent_ = QPersistentModelIndex();
  selectionModel()->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
}

void FileTreeView::follow(const Uuid& id) {
  if (userScrolled_) return;
  const QModelIndex index = model_->indexOfJob(id);
  if (!index.isValid()) return;
  scrollingToFollow_ = true;
  scrollTo(index, QAbstractItemView::EnsureVisible);
  scrollingToFollow_ = false;
}

void FileTreeView::toggleFolder(const QString& groupId) {
  if (!collapsedFolders_.erase(groupId)) collapsedFolders_.insert(groupId);
  applyFolding(model_->indexOfGroup(groupId));
}

void FileTreeView::applyFolding() {
  for (int row = 0; row < model_->namedGroupCount(); ++row) applyFolding(model_->index(row, 0));
}

void FileTreeView::applyFolding(const QModelIndex& group) {
  if (!model_->isGroup(group)) return;
  setExpanded(group, !collapsedFolders_.contains(model_->groupId(group)));
}

std::set<Uuid> FileTreeView::selectedJobIDs() const {
  std::set<Uuid> ids;
  for (const QModelIndex& index : selectionModel()->selectedRows()) {
    if (auto job = model_->jobAt(index)) ids.insert(job->id());
  }
  return ids;
}

}  // namespace vexal::ui
