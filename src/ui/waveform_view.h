#pragma once

#include <QString>
#include <QWidget>
#include <filesystem>
#include <vector>

namespace vexal::ui {

// Peak per bar: the largest absolute sample (all channels) of each of `bars` equal
// slices of the file, capped at 1.0. Fewer values when the file runs out; none when it
// cannot be read. Blocking; call off the interface thread.
std::vector<float> loadWaveformPeaks(const std::filesystem::path& path, int bars = 200);

// The scale that makes the loudest bar full height, so a quiet file still shows its
// shape; 1 for silence.
double peakGain(const std::vector<float>& peaks);

// A 60-pixel strip of peak bars for one source file, loaded in the background and
// scaled to the file's own peak.
class WaveformView : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kBarCount = 200;
  static constexpr int kHeight = 60;

  explicit WaveformView(QWidget* parent = nullptr);

  void setUrl(const QString& path);
  const QString& url() const { return url_; }
  const std::vector<float>& samples() const { return samples_; }
  bool isLoading() const { return isLoading_; }

  QSize sizeHint() const override;

 signals:
  void loaded();

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString url_;
  std::vector<float> samples_;
  bool isLoading_ = false;
  quint64 generation_ = 0;  // drops results of a file no longer shown
};

}  // namespace vexal::ui
