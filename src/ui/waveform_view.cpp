#include "ui/waveform_view.h"

#include <QCoreApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QThreadPool>
#include <algorithm>
#include <cmath>
#include <memory>

#include "platform/audio_file.h"
#include "sources/path_text.h"
#include "ui/colors.h"

namespace vexal::ui {
namespace {
constexpr double kBarOpacity = 0.7;
}  // namespace

std::vector<float> loadWaveformPeaks(const std::filesystem::path& path, int bars) {
  std::vector<float> peaks;
  if (bars < 1) return peaks;
  std::unique_ptr<platform::AudioFileReader> reader;
  if (platform::AudioFileReader::open(path, reader) != platform::kNoError) return peaks;
  platform::StreamDescription format;
  std::int64_t length = 0;
  if (reader->getFileDataFormat(format) != platform::kNoError) return peaks;
  if (reader->getFileLengthFrames(length) != platform::kNoError || length < 1) return peaks;
  const std::uint32_t channels = std::max<std::uint32_t>(format.channelsPerFrame, 1);
  if (reader->setClientFormat(platform::floatClientFormat(format.sampleRate, channels)) !=
      platform::kNoError) {
    return peaks;
  }
  const std::int64_t framesPerBar = std::max<std::int64_t>(length / bars, 1);
  std::vector<float> buffer(static_cast<std::size_t>(framesPerBar) * channels);
  peaks.reserve(static_cast<std::size_t>(bars));
  for (int bar = 0; bar < bars; ++bar) {
    auto frames = static_cast<std::uint32_t>(framesPerBar);
    if (reader->read(buffer.data(), frames) != platform::kNoError || frames == 0) break;
    float peak = 0.0f;
    const std::size_t samples = static_cast<std::size_t>(frames) * channels;
    for (std::size_t i = 0; i < samples; ++i) peak = std::max(peak, std::fabs(buffer[i]));
    peaks.push_back(std::min(peak, 1.0f));
  }
  return peaks;
}

WaveformView::WaveformView(QWidget* parent) : QWidget(parent) {
  setFixedHeight(kHeight);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  setAccessibleName(tr("Waveform"));
}

QSize WaveformView::sizeHint() const {
  return {280, kHeight};
}

void WaveformView::setUrl(const QString& path) {
  url_ = path;
  samples_.clear();
  isLoading_ = true;
  const quint64 generation = ++generation_;
  update();
  QPointer<WaveformView> self(this);
  const std::filesystem::path file = pathFromQString(path);
  // Below the default priority: a waveform is decoration and yields to other work.
  QThreadPool::globalInstance()->start(
      [self, file, generation] {
        auto peaks = loadWaveformPeaks(file, kBarCount);
        QMetaObject::invokeMethod(
            qApp,
            [self, generation, peaks = std::move(peaks)]() mutable {
              if (!self || self->generation_ != generation) return;
              self->samples_ = std::move(peaks);
              self->isLoading_ = false;
              self->update();
              emit self->loaded();
            },
            Qt::QueuedConnection);
      },
      -1);
}

void WaveformView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  if (isLoading_) {
    QColor dim = palette().color(QPalette::PlaceholderText);
    painter.setPen(dim);
    painter.drawText(rect(), Qt::AlignCenter, tr("Loading waveform…"));
    return;
  }
  if (samples_.empty()) {
    painter.setPen(palette().color(QPalette::PlaceholderText));
    painter.drawText(rect(), Qt::AlignCenter, tr("No waveform data"));
    return;
  }
  const double h = height();
  const double step = width() / static_cast<double>(samples_.size());
  const double barWidth = std::max(step - 0.5, 0.5);
  painter.setPen(Qt::NoPen);
  painter.setBrush(visibleAccent(palette(), kBarOpacity));
  const double radius = std::min(step * 0.5, barWidth * 0.5);
  const double gain = peakGain(samples_);
  for (std::size_t i = 0; i < samples_.size(); ++i) {
    const double half = h * 0.5 * samples_[i] * gain;
    painter.drawRoundedRect(QRectF(step * i, h * 0.5 - half, barWidth, 2 * half), radius, radius);
  }
}

double peakGain(const std::vector<float>& peaks) {
  const float loudest = peaks.empty() ? 0.0f : *std::ranges::max_element(peaks);
  return loudest > 0.0f ? 1.0 / loudest : 1.0;
}

}  // namespace vexal::ui
