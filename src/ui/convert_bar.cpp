#include "ui/convert_bar.h"

#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QStackedWidget>
#include <algorithm>

#include "orchestration/converter_view_model.h"
#include "ui/icons.h"
#include "ui/progress_bar_view.h"

namespace vexal::ui {
namespace {

constexpr int kBarHeight = 64;      // px
constexpr int kProgressHeight = 8;  // px

bool hasPendingJob(const ConverterViewModel& viewModel) {
  const auto& jobs = viewModel.jobs();
  return std::any_of(jobs.begin(), jobs.end(), [](const auto& job) {
    return job->status().kind() == ConversionStatus::Kind::pending;
  });
}

}  // namespace

QString ConvertBar::convertLabel(int count) {
  return QStringLiteral("Convert (%1 file%2)")
      .arg(count)
      .arg(count == 1 ? QString() : QStringLiteral("s"));
}

ConvertBar::ConvertBar(ConverterViewModel& viewModel, QWidget* parent)
    : QWidget(parent), viewModel_(viewModel) {
  setObjectName(QStringLiteral("ConvertBar"));
  setFixedHeight(kBarHeight);
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
  convertButton_->setMinimumWidth(220);
  QFont font = convertButton_->font();
  font.setWeight(QFont::DemiBold);
  convertButton_->setFont(font);
  opacity_ = new QGraphicsOpacityEffect(convertButton_);
  convertButton_->setGraphicsEffect(opacity_);
  rest->addStretch(1);
  rest->addWidget(convertButton_);
  rest->addStretch(1);

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
  run->addWidget(statusIcon_);
  run->addWidget(statusLabel_);
  run->addWidget(progress_, 1);
  run->addWidget(cancelButton_);

  stack_->addWidget(restPage_);
  stack_->addWidget(runPage_);

  connect(convertButton_, &QPushButton::clicked, this, [this] {
    if (canStart() && !viewModel_.isConverting()) viewModel_.startConversion();
  });
  connect(cancelButton_, &QPushButton::clicked, this, [this] { viewModel_.cancelConversion(); });
  connect(&viewModel_, &ConverterViewModel::isConvertingChanged, this, &ConvertBar::refresh);
  connect(&viewModel_, &ConverterViewModel::settingsChanged, this, &ConvertBar::refresh);
  connect(&viewModel_, &ConverterViewModel::jobsInserted, this, &ConvertBar::refresh);
  connect(&viewModel_, &ConverterViewModel::jobsRemoved, this, &ConvertBar::refresh);
  refresh();
}

QString ConvertBar::blockReason() const {
  if (viewModel_.settings().enabledFormats.empty())
    return QStringLiteral("Select at least one output format");
  if (!hasPendingJob(viewModel_)) return QStringLiteral("Add files to convert");
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
                              .arg(viewModel_.convertingCount())
                              .arg(viewModel_.remainingCount()));
    progress_->setValue(viewModel_.overallProgress());
    return;
  }
  stack_->setCurrentWidget(restPage_);
  convertButton_->setText(convertLabel(viewModel_.remainingCount()));
  const QString reason = blockReason();
  convertButton_->setToolTip(reason);
  convertButton_->setEnabled(reason.isEmpty());
  opacity_->setOpacity(reason.isEmpty() ? kEnabledOpacity : kDisabledOpacity);
}

}  // namespace vexal::ui
