#pragma once

#include <QAbstractListModel>
#include <QDateTime>
#include <QDialog>
#include <QStyledItemDelegate>
#include <optional>

class QLabel;
class QListView;
class QPushButton;
class QStackedWidget;

namespace vexal {
class ConversionHistoryManager;
struct ConversionHistoryEntry;
}  // namespace vexal

namespace vexal::ui {

// "1.2 MB -> 340 kB" in file-size style; nothing unless both sizes are known.
std::optional<QString> historySizeText(const ConversionHistoryEntry& entry);
// "just now", "5 minutes ago", "yesterday", "3 days ago", then the date.
QString relativeDateText(const QDateTime& date,
                         const QDateTime& now = QDateTime::currentDateTime());

class HistoryListModel : public QAbstractListModel {
  Q_OBJECT
 public:
  enum Role { SuccessfulRole = Qt::UserRole + 1, DetailRole, FormatRole, SourceRole, OutputRole };
  explicit HistoryListModel(ConversionHistoryManager& history, QObject* parent = nullptr);
  int rowCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

 private:
  ConversionHistoryManager& history_;
};

class HistoryItemDelegate : public QStyledItemDelegate {
  Q_OBJECT
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  // Three lines: the source's name, "-> " and the output's name, then date, sizes and
  // any error; each name has the row's width to itself.
  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

// "Conversion History": the finished conversions, newest first, with "Clear" and "Done".
class HistoryView : public QDialog {
  Q_OBJECT
 public:
  explicit HistoryView(ConversionHistoryManager& history, QWidget* parent = nullptr);

  bool isShowingEmptyState() const;
  QListView* list() const { return list_; }
  QPushButton* clearButton() const { return clearButton_; }
  QPushButton* doneButton() const { return doneButton_; }

 private:
  void refresh();

  ConversionHistoryManager& history_;
  HistoryListModel* model_;
  QStackedWidget* stack_;
  QWidget* emptyState_;
  QListView* list_;
  QPushButton* clearButton_;
  QPushButton* doneButton_;
};

}  // namespace vexal::ui
