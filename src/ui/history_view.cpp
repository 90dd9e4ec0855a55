#include "ui/history_view.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QListView>
#include <QLocale>
#include <QPainter>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "persistence/conversion_history.h"
#include "ui/icons.h"

namespace vexal::ui {
namespace {

constexpr int kIconSize = 20;  // px
constexpr int kPadding = 6;    // px above and below a row's lines
const QString kArrow = QStringLiteral("-> ");

}  // namespace

std::optional<QString> historySizeText(const ConversionHistoryEntry& entry) {
  if (!entry.fileSizeBefore || !entry.fileSizeAfter) return std::nullopt;
  // File style: decimal units, as file managers show sizes.
  const QLocale locale;
  return locale.formattedDataSize(*entry.fileSizeBefore, 1, QLocale::DataSizeSIFormat) +
         QStringLiteral(" -> ") +
         locale.formattedDataSize(*entry.fileSizeAfter, 1, QLocale::DataSizeSIFormat);
}

QString relativeDateText(const QDateTime& date, const QDateTime& now) {
  const qint64 seconds = date.secsTo(now);
  if (seconds < 0) return QLocale().toString(date, QLocale::ShortFormat);
  if (seconds < 60) return QObject::tr("just now");
  if (seconds < 3600) {
    const int minutes = static_cast<int>(seconds / 60);
    return minutes == 1 ? QObject::tr("1 minute ago") : QObject::tr("%1 minutes ago").arg(minutes);
  }
  if (seconds < 86400) {
    const int hours = static_cast<int>(seconds / 3600);
    return hours == 1 ? QObject::tr("1 hour ago") : QObject::tr("%1 hours ago").arg(hours);
  }
  const qint64 days = date.date().daysTo(now.date());
  if (days <= 1) return QObject::tr("yesterday");
  if (days < 7) return QObject::tr("%1 days ago").arg(days);
  if (days < 14) return QObject::tr("last week");
  if (days < 31) return QObject::tr("%1 weeks ago").arg(days / 7);
  return QLocale().toString(date.date(), QLocale::ShortFormat);
}

HistoryListModel::HistoryListModel(ConversionHistoryManager& history, QObject* parent)
    : QAbstractListModel(parent), history_(history) {
  connect(&history_, &ConversionHistoryManager::entriesChanged, this, [this] {
    beginResetModel();
    endResetModel();
  });
}

int HistoryListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(history_.entries().size());
}

QVariant HistoryListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const ConversionHistoryEntry& entry = history_.entries()[index.row()];
  switch (role) {
    case Qt::DisplayRole:
      return entry.sourceFileName + QLatin1Char(' ') + kArrow + entry.outputFileName;
    case FormatRole:
      return entry.outputFormat;
    case SourceRole:
      return entry.sourceFileName;
    case OutputRole:
      return entry.outputFileName;
    case DetailRole: {
      QStringList parts{relativeDateText(entry.date)};
      if (auto sizes = historySizeText(entry)) parts << *sizes;
      if (!entry.successful && entry.errorMessage) parts << *entry.errorMessage;
      return parts.join(QStringLiteral("  ·  "));
    }
    case SuccessfulRole:
      return entry.successful;
    case Qt::ToolTipRole:
      return entry.sourcePath + QLatin1Char('\n') + kArrow + entry.outputPath;
    default:
      return {};
  }
}

QSize HistoryItemDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
  // As wide as the list (never a horizontal scroll bar); three lines of its font.
  return {0, 3 * option.fontMetrics.height() + 2 * kPadding + 4};
}

void HistoryItemDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                const QModelIndex& index) const {
  QStyleOptionViewItem opt = option;
  initStyleOption(&opt, index);
  opt.text.clear();
  QStyle* style = option.widget ? option.widget->style() : QApplication::style();
  style->drawPrimitive(QStyle::PE_PanelItemViewItem, &opt, painter, option.widget);
  painter->save();
  const QRect r = option.rect.adjusted(12, kPadding, -12, -kPadding);
  const bool ok = index.data(HistoryListModel::SuccessfulRole).toBool();
  symbolIcon(ok ? QStringLiteral("checkmark.circle.fill") : QStringLiteral("xmark.circle.fill"))
      .paint(painter, QRect(r.left(), r.center().y() - kIconSize / 2, kIconSize, kIconSize));
  const bool selected = option.state & QStyle::State_Selected;
  const QColor text = option.palette.color(selected ? QPalette::HighlightedText : QPalette::Text);
  QColor secondary = text;
  if (!selected) secondary.setAlphaF(0.6f);  // the selection leaves no room for fading

  QFont bold = option.font;
  bold.setBold(true);
  const QFontMetrics boldMetrics(bold);
  const QString format = index.data(HistoryListModel::FormatRole).toString();
  const int formatWidth = boldMetrics.horizontalAdvance(format) + 14;
  const QRect badge(r.right() - formatWidth, r.top() + 2, formatWidth, 18);
  QColor badgeColor = option.palette.color(QPalette::Highlight);
  badgeColor.setAlphaF(0.15f);
  painter->setRenderHint(QPainter::Antialiasing);
  painter->setPen(Qt::NoPen);
  painter->setBrush(badgeColor);
  painter->drawRoundedRect(badge, 5, 5);
  QFont small = option.font;
  small.setPointSizeF(small.pointSizeF() * 0.85);
  small.setBold(true);
  painter->setFont(small);
  painter->setPen(text);
  painter->drawText(badge, Qt::AlignCenter, format);

  const int left = r.left() + kIconSize + 12;
  const int lineHeight = r.height() / 3;
  const QRect line1(left, r.top(), badge.left() - left - 8, lineHeight);
  const QRect line2(left, r.top() + lineHeight, r.right() - left, lineHeight);
  const QRect line3(left, r.top() + 2 * lineHeight, r.right() - left, lineHeight);
  const QFontMetrics metrics(option.font);
  // Names that differ only inside (takes of one track) stay apart: cut in the middle,
  // and only when the whole line cannot hold them.
  painter->setFont(bold);
  painter->drawText(line1, Qt::AlignVCenter | Qt::AlignLeft,
                    boldMetrics.elidedText(index.data(HistoryListModel::SourceRole).toString(),
                                           Qt::ElideMiddle, line1.width()));
  painter->setFont(option.font);
  painter->drawText(line2, Qt::AlignVCenter | Qt::AlignLeft,
                    metrics.elidedText(kArrow + index.data(HistoryListModel::OutputRole).toString(),
                                       Qt::ElideMiddle, line2.width()));
  painter->setPen(secondary);
  painter->drawText(line3, Qt::AlignVCenter | Qt::AlignLeft,
                    metrics.elidedText(index.data(HistoryListModel::DetailRole).toString(), Qt::ElideRight,
                                       line3.width()));
  painter->restore();
}

HistoryView::HistoryView(ConversionHistoryManager& history, QWidget* parent)
    : QDialog(parent), history_(history) {
  setObjectName(QStringLiteral("HistoryView"));
  setWindowTitle(QStringLiteral("Conversion History"));
  setModal(true);
  resize(560, 480);

  auto* layout = new QVBoxLayout(this);
  auto* header = new QHBoxLayout;
  auto* title = new QLabel(QStringLiteral("Conversion History"), this);
  QFont titleFont = title->font();
  titleFont.setBold(true);
  titleFont.setPointSizeF(titleFont.pointSizeF() * 1.2);
  title->setFont(titleFont);
  clearButton_ = new QPushButton(QStringLiteral("Clear"), this);
  clearButton_->setObjectName(QStringLiteral("clearButton"));
  doneButton_ = new QPushButton(QStringLiteral("Done"), this);
  doneButton_->setObjectName(QStringLiteral("doneButton"));
  doneButton_->setDefault(true);
  header->addWidget(title);
  header->addStretch(1);
  header->addWidget(clearButton_);
  header->addWidget(doneButton_);
  layout->addLayout(header);

  stack_ = new QStackedWidget(this);
  emptyState_ = new QWidget(stack_);
  auto* empty = new QVBoxLayout(emptyState_);
  empty->addStretch(1);
  auto* icon = new QLabel(emptyState_);
  icon->setPixmap(symbolIcon(QStringLiteral("clock")).pixmap(48, 48, QIcon::Disabled));
  icon->setAlignment(Qt::AlignCenter);
  auto* emptyTitle = new QLabel(QStringLiteral("No History"), emptyState_);
  QFont emptyFont = emptyTitle->font();
  emptyFont.setBold(true);
  emptyFont.setPointSizeF(emptyFont.pointSizeF() * 1.3);
  emptyTitle->setFont(emptyFont);
  emptyTitle->setAlignment(Qt::AlignCenter);
  auto* emptyText =
      new QLabel(QStringLiteral("Completed conversions will appear here."), emptyState_);
  emptyText->setAlignment(Qt::AlignCenter);
  emptyText->setForegroundRole(QPalette::PlaceholderText);
  empty->addWidget(icon);
  empty->addWidget(emptyTitle);
  empty->addWidget(emptyText);
  empty->addStretch(1);

  model_ = new HistoryListModel(history_, this);
  list_ = new QListView(stack_);
  list_->setModel(model_);
  list_->setItemDelegate(new HistoryItemDelegate(list_));
  list_->setUniformItemSizes(true);
  list_->setAlternatingRowColors(true);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  stack_->addWidget(emptyState_);
  stack_->addWidget(list_);
  layout->addWidget(stack_, 1);

  connect(clearButton_, &QPushButton::clicked, this, [this] { history_.clear(); });
  connect(doneButton_, &QPushButton::clicked, this, &QDialog::accept);
  connect(&history_, &ConversionHistoryManager::entriesChanged, this, &HistoryView::refresh);
  refresh();
}

bool HistoryView::isShowingEmptyState() const {
  return stack_->currentWidget() == emptyState_;
}

void HistoryView::refresh() {
  const bool empty = history_.entries().empty();
  stack_->setCurrentWidget(empty ? emptyState_ : static_cast<QWidget*>(list_));
  clearButton_->setEnabled(!empty);
}

}  // namespace vexal::ui
