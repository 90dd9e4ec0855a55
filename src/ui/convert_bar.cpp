#include "ui/convert_bar.h"

#include <QEvent>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QStackedWidget>
#include <algorithm>

#include "orchestration/converter_view_model.h"
#include "persistence/conversion_history.h"
#include "ui/icons.h"
#include "ui/job_list_model.h"
#include "ui/progress_bar_view.h"

namespace vexal::ui {
namespace {

constexpr int kBarHeight = 64;      // px
constexpr int kProgressHeight = 8;  // px

}  // namespace

QString ConvertBar::convertLabel(int count) {
  return QStringLiteral("Convert (%1 file%2)")
      .arg(count)
      .arg(count == 1 ? QString() : QStringLiteral("s"));
}

QString ConvertBar::summaryText(int converted, int failed, int cancelled, int upToDate) {
  QString text = QStringLiteral("%1 converted").arg(converted);
  if (upToDate > 0) text += QStringLiteral(", %1 up to date").arg(upToDate);
  if (failed > 0) text += QStringLiteral(", %1 failed").arg(failed);
  if (cancelled > 0) text += QStringLiteral(", %1 cancelled").arg(cancelled);
  return text;
}

ConvertBar::ConvertBar(ConverterViewModel& viewModel, QWidget* parent)
    : QWidget(parent), viewModel_(viewModel) {
  setObjectName(QStringLiteral("ConvertBar"));
  setMinimumHeight(kBarHeight);
  setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Minimum);
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(16, 10, 16, 10);
  stack_ = new QStackedWidget(this);
  layout->addWidget(stack_);

  restPage_ = new QWidget(stack_);
  auto* rest = new QHBoxLayout(restPage_);
  rest->setContentsMargins(0, 0, 0, 0);
  convertButton_ = new QPushButton(symbolIcon(QStringLiteral("arrow.triangle.2.circlepath")),
                                   QString(), restPage_);
  convertButton_->setObjectName(QStringLiteral("convertButton"));
  convertButton_->setDefault(true);
  convertButton_->setMinimumHeight(36);
  convertButton_->setMinimumWidth(180);
  convertButton_->setAccessibleName(QStringLiteral("Convert"));
  QFont font = convertButton_->font();
  font.setWeight(QFont::DemiBold);
  convertButton_->setFont(font);
  opacity_ = new QGraphicsOpacityEffect(convertButton_);
  convertButton_->setGraphicsEffect(opacity_);
  summaryLabel_ = new QLabel(restPage_);
  summaryLabel_->setObjectName(QStringLiteral("batchSummary"));
  // Wraps before the buttons shrink on a narrow window or a large font.
  summaryLabel_->setWordWrap(true);
  showInFolderButton_ = new QPushButton(symbolIcon(QStringLiteral("folder")),
                                        QStringLiteral("Show in Folder"), restPage_);
  showInFolderButton_->setObjectName(QStringLiteral("showInFolderButton"));
  showInFolderButton_->setAccessibleName(QStringLiteral("Show in Folder"));
  showInFolderButton_->setAccessibleDescription(
      tr("Opens the file manager on the converted files"));
  rest->addWidget(summaryLabel_, 1);
  rest->addWidget(showInFolderButton_);
  rest->addSpacing(12);
  rest->addWidget(convertButton_);

  runPage_ = new QWidget(stack_);
  auto* run = new QHBoxLayout(runPage_);
  run->setContentsMargins(0, 0, 0, 0);
  run->setSpacing(12);
  statusIcon_ = new QLabel(runPage_);
  statusIcon_->setPixmap(symbolIcon(QStringLiteral("arrow.triangle.2.circlepath")).pixmap(16, 16));
  statusLabel_ = new QLabel(runPage_);
  statusLabel_->setObjectName(QStringLiteral("convertStatus"));
  statusLabel_->setMinimumWidth(170);
  progress_ = new ProgressBarView(runPage_, kProgressHeight);
  progress_->setObjectName(QStringLiteral("overallProgress"));
  cancelButton_ =
      new QPushButton(symbolIcon(QStringLiteral("stop.fill")), QStringLiteral("Cancel"), runPage_);
  cancelButton_->setObjectName(QStringLiteral("cancelButton"));
  cancelButton_->setAccessibleName(QStringLiteral("Cancel"));
  cancelButton_->setAccessibleDescription(
      tr("Stops the conversion; files not yet converted stay in the list"));
  progress_->setAccessibleName(tr("Overall progress"));
  run->addWidget(statusIcon_);
  run->addWidget(statusLabel_);
  run->addWidget(progress_, 1);
  run->addWidget(cancelButton_);

  stack_->addWidget(restPage_);
  stack_->addWidget(runPage_);

  connect(convertButton_, &QPushButton::clicked, this, [this] {
    if (canStart() && !viewModel_.isConverting()) viewModel_.startConversion();
  });
  connect(showInFolderButton_, &QPushButton::clicked, this, &ConvertBar::showInFolderRequested);
  connect(cancelButton_, &QPushButton::clicked, this, [this] { viewModel_.cancelConversion(); });
  connect(&viewModel_, &ConverterViewModel::isConvertingChanged, this, [this](bool converting) {
    if (converting && !viewModel_.historyManager().lastSaveFailed()) historyProblem_.clear();
    if (converting) {
      notices_.clear();
      noticeDetails_.clear();
    }
    refresh();
  });
  // The store reports the first failure of a run of them; the text stays until it saves.
  connect(&viewModel_.historyManager(), &ConversionHistoryManager::saveFailed, this,
          [this](const QString& message) {
            historyProblem_ = message;
            refresh();
          });
  connect(&viewModel_, &ConverterViewModel::settingsChanged, this, &ConvertBar::refresh);
  connect(&viewModel_, &ConverterViewModel::jobsInserted, this, &ConvertBar::refresh);
  connect(&viewModel_, &ConverterViewModel::jobsRemoved, this, &ConvertBar::refresh);
  connect(&viewModel_, &ConverterViewModel::jobChanged, this,
          [this](const Uuid&, ConversionJob::Field field) {
            if (field == ConversionJob::Field::status && !viewModel_.isConverting()) refresh();
          });
  refresh();
}

int ConvertBar::finishedCount() const {
  return static_cast<int>(std::ranges::count_if(viewModel_.jobs(), [](const auto& job) {
    const auto kind = job->status().kind();
    return kind != ConversionStatus::Kind::pending && kind != ConversionStatus::Kind::converting;
  }));
}

QList<QWidget*> ConvertBar::focusChain() const {
  return {showInFolderButton_, convertButton_, cancelButton_};
}

void ConvertBar::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  // A label keeps the pixmap it was given; redraw it in the new text colour.
  if (event->type() == QEvent::PaletteChange || event->type() == QEvent::StyleChange)
    statusIcon_->setPixmap(
        symbolIcon(QStringLiteral("arrow.triangle.2.circlepath")).pixmap(16, 16));
}

void ConvertBar::showNotice(const QString& text, const QString& detail) {
  notices_ << text;
  if (!detail.isEmpty()) noticeDetails_ << detail;
  refresh();
}

QString ConvertBar::blockReason() const {
  if (viewModel_.settings().enabledFormats.empty())
    return QStringLiteral("Select at least one output format");
  if (!viewModel_.hasPendingJobs()) return QStringLiteral("Add files to convert");
  return {};
}

double ConvertBar::convertButtonOpacity() const {
  return opacity_->opacity();
}

bool ConvertBar::isShowingProgress() const {
  return stack_->currentWidget() == runPage_;
}

void ConvertBar::refresh() {
  if (viewModel_.isConverting()) {
    stack_->setCurrentWidget(runPage_);
    statusLabel_->setText(QStringLiteral("Converting file %1/%2")
                              .arg(viewModel_.batchStartedCount())
                              .arg(viewModel_.batchTotal()));
    progress_->setValue(viewModel_.overallProgress());
    progress_->setAccessibleDescription(statusLabel_->text());
    return;
  }
  int converted = 0, failed = 0, cancelled = 0, upToDate = 0;
  for (const auto& job : viewModel_.jobs()) {
    if (isCancelled(job->status())) {
      ++cancelled;
      continue;
    }
    switch (job->status().kind()) {
      case ConversionStatus::Kind::completed:
        ++converted;
        break;
      case ConversionStatus::Kind::failed:
        ++failed;
        break;
      case ConversionStatus::Kind::cancelled:
        ++cancelled;
        break;
      case ConversionStatus::Kind::skipped:
        ++upToDate;
        break;
      default:
        break;
    }
  }
  const bool finished = converted + failed + cancelled + upToDate > 0;
  QStringList summary;
  if (finished) summary << summaryText(converted, failed, cancelled, upToDate);
  if (!historyProblem_.isEmpty()) summary << historyProblem_;
  summary << notices_;
  summaryLabel_->setText(summary.join(QStringLiteral(" · ")));
  summaryLabel_->setToolTip(QStringList(QStringList{historyProblem_} + noticeDetails_).join(QLatin1Char('\n')).trimmed());
  summaryLabel_->setAccessibleName(summaryLabel_->text());
  showInFolderButton_->setVisible(converted > 0);
  stack_->setCurrentWidget(restPage_);
  convertButton_->setText(convertLabel(viewModel_.remainingCount()));
  const QString reason = blockReason();
  convertButton_->setToolTip(reason);
  convertButton_->setAccessibleDescription(
      reason.isEmpty() ? tr("Converts the pending files into every chosen format") : reason);
  convertButton_->setEnabled(reason.isEmpty());
  opacity_->setOpacity(reason.isEmpty() ? kEnabledOpacity : kDisabledOpacity);
}

}  // namespace vexal::ui
