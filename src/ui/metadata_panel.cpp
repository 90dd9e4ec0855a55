#include "ui/metadata_panel.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QFormLayout>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QThreadPool>
#include <QVBoxLayout>
#include <cmath>

#include "metadata/metadata_service.h"
#include "platform/audio_file.h"
#include "sources/path_text.h"
#include "ui/colors.h"
#include "ui/job_list_model.h"
#include "ui/waveform_view.h"

namespace vexal::ui {
namespace {

QString fromStd(const std::string& text) {
  return QString::fromStdString(text);
}

struct SourceFacts {
  std::optional<double> seconds;
  std::optional<QString> codec;
};

SourceFacts readSourceFacts(const std::filesystem::path& path,
                            const std::optional<std::int64_t>& start,
                            const std::optional<std::int64_t>& end) {
  SourceFacts facts;
  std::unique_ptr<platform::AudioFileReader> reader;
  if (platform::AudioFileReader::open(path, reader) != platform::kNoError) return facts;
  const std::string codec = reader->codecName();
  if (!codec.empty()) facts.codec = fromStd(codec);
  platform::StreamDescription format;
  std::int64_t length = 0;
  if (reader->getFileDataFormat(format) == platform::kNoError && format.sampleRate > 0 &&
      reader->getFileLengthFrames(length) == platform::kNoError) {
    // A cue-sheet track lasts from its start frame to its end frame, not the whole file.
    const std::int64_t first = start.value_or(0);
    const std::int64_t last = std::min(end.value_or(length), length);
    facts.seconds = std::max<std::int64_t>(last - first, 0) / format.sampleRate;
  }
  return facts;
}

}  // namespace

QString durationText(double seconds) {
  const auto whole = static_cast<long long>(std::max(seconds, 0.0));
  return QString::asprintf("%d:%02d", static_cast<int>(whole / 60), static_cast<int>(whole % 60));
}

std::vector<std::pair<QString, QString>> metadataRows(const std::optional<AudioMetadata>& metadata,
                                                      const std::optional<QString>& duration,
                                                      const std::optional<QString>& formatString) {
  std::vector<std::pair<QString, QString>> rows;
  rows.emplace_back(QObject::tr("Format"), formatString.value_or(QObject::tr("Unknown")));
  const AudioMetadata tags = metadata.value_or(AudioMetadata{});
  auto text = [&](const QString& label, const std::optional<std::string>& value) {
    if (value) rows.emplace_back(label, fromStd(*value));
  };
  auto number = [&](const QString& label, const std::optional<std::int64_t>& value) {
    if (value) rows.emplace_back(label, QString::number(*value));
  };
  text(QObject::tr("Title"), tags.title);
  text(QObject::tr("Artist"), tags.artist);
  if (duration) rows.emplace_back(QObject::tr("Duration"), *duration);
  text(QObject::tr("Album"), tags.album);
  text(QObject::tr("Album artist"), tags.albumArtist);
  text(QObject::tr("Composer"), tags.composer);
  text(QObject::tr("Genre"), tags.genre);
  number(QObject::tr("Year"), tags.year);
  if (tags.trackNumber) {
    QString track = QString::number(*tags.trackNumber);
    if (tags.trackTotal) track += QStringLiteral("  of  ") + QString::number(*tags.trackTotal);
    rows.emplace_back(QObject::tr("Track"), track);
  }
  number(QObject::tr("Disc"), tags.discNumber);
  return rows;
}

MetadataPanel::MetadataPanel(QWidget* parent) : QWidget(parent) {
  setMinimumWidth(kWidth * 2 / 3);
  setObjectName(QStringLiteral("MetadataPanel"));
  setAutoFillBackground(true);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(16, 16, 16, 16);
  layout->setSpacing(10);

  title_ = new QLabel(this);
  QFont titleFont = title_->font();
  titleFont.setBold(true);
  titleFont.setPointSizeF(titleFont.pointSizeF() * 1.15);
  title_->setFont(titleFont);
  title_->setWordWrap(true);
  title_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  subtitle_ = new QLabel(this);
  subtitle_->setForegroundRole(QPalette::PlaceholderText);
  subtitle_->setWordWrap(true);
  subtitle_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  error_ = new QLabel(this);
  error_->setObjectName(QStringLiteral("jobError"));
  error_->setWordWrap(true);
  error_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  error_->setAccessibleName(tr("Error"));
  QPalette errorPalette = error_->palette();
  errorPalette.setColor(QPalette::WindowText, errorColor(errorPalette));
  error_->setPalette(errorPalette);
  error_->hide();
  waveform_ = new WaveformView(this);
  // A busy indicator while the tags load.
  loadingIndicator_ = new QProgressBar(this);
  loadingIndicator_->setRange(0, 0);
  loadingIndicator_->setTextVisible(false);
  loadingIndicator_->setMaximumHeight(6);

  rowsHost_ = new QWidget(this);
  form_ = new QFormLayout(rowsHost_);
  form_->setContentsMargins(0, 0, 0, 0);
  form_->setLabelAlignment(Qt::AlignRight);
  form_->setRowWrapPolicy(QFormLayout::DontWrapRows);
  form_->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);

  layout->addWidget(title_);
  layout->addWidget(subtitle_);
  layout->addWidget(error_);
  layout->addWidget(waveform_);
  layout->addWidget(loadingIndicator_);
  layout->addWidget(rowsHost_);
  layout->addStretch(1);
  loadingIndicator_->hide();
}

void MetadataPanel::setJob(std::shared_ptr<const ConversionJob> job) {
  job_ = std::move(job);
  loaded_ = {};
  const quint64 generation = ++generation_;
  refreshStatus();
  if (!job_) {
    isLoading_ = false;
    title_->clear();
    subtitle_->clear();
    showRows();
    return;
  }
  // Shown with replacement characters; the waveform gets the file's own bytes.
  const QString source = QString::fromStdString(job_->sourceURL().string());
  title_->setText(fromStd(job_->fileName()));
  subtitle_->setText(source);
  subtitle_->setToolTip(source);
  waveform_->setUrl(pathToQString(job_->sourceURL()));
  isLoading_ = true;
  loadingIndicator_->show();
  showRows();

  QPointer<MetadataPanel> self(this);
  const std::filesystem::path path = job_->sourceURL();
  const auto start = job_->startFrame();
  const auto end = job_->endFrame();
  const std::optional<AudioMetadata> known = job_->metadata();
  QThreadPool::globalInstance()->start([self, generation, path, start, end, known] {
    Loaded result;
    // Cue tracks carry their own tags; the file's would be those of the whole album.
    result.metadata = known ? known : std::optional(MetadataService::readMetadata(path));
    const SourceFacts facts = readSourceFacts(path, start, end);
    if (facts.seconds) result.duration = durationText(*facts.seconds);
    result.formatString = facts.codec;
    QMetaObject::invokeMethod(
        qApp,
        [self, generation, result = std::move(result)]() mutable {
          if (!self || self->generation_ != generation) return;
          self->loaded_ = std::move(result);
          self->isLoading_ = false;
          self->showRows();
          emit self->loaded();
        },
        Qt::QueuedConnection);
  });
}

void MetadataPanel::refreshStatus() {
  const bool failed = job_ && job_->status().kind() == ConversionStatus::Kind::failed &&
                      !isCancelled(job_->status());
  error_->setText(failed ? fromStd(job_->status().text()) : QString());
  // A name of its own would hide the text from a screen reader.
  error_->setAccessibleName(failed ? tr("Error: %1").arg(error_->text()) : tr("Error"));
  error_->setVisible(failed);
}

std::vector<std::pair<QString, QString>> MetadataPanel::rows() const {
  std::vector<std::pair<QString, QString>> rows;
  for (int i = 0; i < form_->rowCount(); ++i) {
    auto* label = qobject_cast<QLabel*>(form_->itemAt(i, QFormLayout::LabelRole)->widget());
    auto* value = qobject_cast<QLabel*>(form_->itemAt(i, QFormLayout::FieldRole)->widget());
    if (label && value) rows.emplace_back(label->text(), value->text());
  }
  return rows;
}

void MetadataPanel::showRows() {
  while (form_->rowCount() > 0) form_->removeRow(0);
  loadingIndicator_->setVisible(isLoading_);
  if (!job_ || isLoading_) return;
  for (const auto& [label, value] :
       metadataRows(loaded_.metadata, loaded_.duration, loaded_.formatString)) {
    auto* name = new QLabel(label, rowsHost_);
    name->setForegroundRole(QPalette::PlaceholderText);
    auto* field = new QLabel(value, rowsHost_);
    field->setWordWrap(true);
    field->setTextInteractionFlags(Qt::TextSelectableByMouse);
    form_->addRow(name, field);
  }
}

}  // namespace vexal::ui
