#pragma once

#include <QStringList>
#include <QWidget>

class QGraphicsOpacityEffect;
class QLabel;
class QPushButton;
class QStackedWidget;

namespace vexal {
class ConverterViewModel;
}

namespace vexal::ui {

class ProgressBarView;

// "Convert (N files)" at rest, after a batch with its summary ("29 converted, 1 failed")
// and "Show in Folder"; "Converting file X/Y" (X the jobs started so far), the overall
// progress and "Cancel" while a batch runs. A history that could not be saved is named
// beside the summary until a later batch starts with the history saved again; notices
// (settings reset or not saved) until the next batch starts. The summary wraps rather
// than being cut, and the bar grows for it.
class ConvertBar : public QWidget {
  Q_OBJECT
 public:
  static constexpr double kEnabledOpacity = 1.0;
  static constexpr double kDisabledOpacity = 0.4;

  explicit ConvertBar(ConverterViewModel& viewModel, QWidget* parent = nullptr);

  // "Convert (" + count + " file" + "s" unless 1 + ")".
  static QString convertLabel(int count);
  // "29 converted, 1 failed, 2 cancelled"; the parts that are zero are left out, except
  // the converted count.
  static QString summaryText(int converted, int failed, int cancelled, int upToDate = 0);
  // Why a batch cannot start, or empty when it can.
  QString blockReason() const;
  bool canStart() const { return blockReason().isEmpty(); }

  QPushButton* convertButton() const { return convertButton_; }
  QPushButton* cancelButton() const { return cancelButton_; }
  QLabel* statusLabel() const { return statusLabel_; }
  QLabel* summaryLabel() const { return summaryLabel_; }
  QPushButton* showInFolderButton() const { return showInFolderButton_; }
  // Jobs completed, failed or cancelled.
  int finishedCount() const;
  QList<QWidget*> focusChain() const;
  ProgressBarView* progressBar() const { return progress_; }
  double convertButtonOpacity() const;
  bool isShowingProgress() const;
  // Shown at rest beside the summary, with `detail` as its tooltip.
  void showNotice(const QString& text, const QString& detail = {});

 public slots:
  void refresh();

 signals:
  void showInFolderRequested();

 protected:
  void changeEvent(QEvent* event) override;

 private:
  ConverterViewModel& viewModel_;
  QStackedWidget* stack_;
  QWidget* restPage_;
  QWidget* runPage_;
  QPushButton* convertButton_;
  QLabel* summaryLabel_;
  QPushButton* showInFolderButton_;
  QGraphicsOpacityEffect* opacity_;
  QLabel* statusIcon_;
  QLabel* statusLabel_;
  ProgressBarView* progress_;
  QPushButton* cancelButton_;
  QString historyProblem_;  // the history store's last save failure, shown at rest
  QStringList notices_;
  QStringList noticeDetails_;
};

}  // namespace vexal::ui
