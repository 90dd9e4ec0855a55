#pragma once

#include <QString>
#include <QWidget>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "model/audio_metadata.h"
#include "model/conversion_job.h"

class QFormLayout;
class QLabel;
class QProgressBar;

namespace vexal::ui {

class WaveformView;

// "%d:%02d" of whole seconds (truncated): 187.4 s reads 3:07, 59.9 s reads 0:59.
QString durationText(double seconds);

// The panel's rows in order, each only when its value exists; "Format" always
// ("Unknown" without a format string).
std::vector<std::pair<QString, QString>> metadataRows(const std::optional<AudioMetadata>& metadata,
                                                      const std::optional<QString>& duration,
                                                      const std::optional<QString>& formatString);

// Tags, duration and codec of the selected job, read in the background, and the full
// error text of a failed job; 320 px wide at first.
class MetadataPanel : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kWidth = 320;

  explicit MetadataPanel(QWidget* parent = nullptr);

  void setJob(std::shared_ptr<const ConversionJob> job);
  // Shows the job's error, or hides it, after its status changed.
  void refreshStatus();
  QLabel* errorLabel() const { return error_; }
  const std::shared_ptr<const ConversionJob>& job() const { return job_; }
  bool isLoading() const { return isLoading_; }
  // The rows on screen, label and value.
  std::vector<std::pair<QString, QString>> rows() const;
  WaveformView* waveform() const { return waveform_; }

 signals:
  void loaded();

 private:
  struct Loaded {
    std::optional<AudioMetadata> metadata;
    std::optional<QString> duration;
    std::optional<QString> formatString;
  };
  void showRows();

  std::shared_ptr<const ConversionJob> job_;
  Loaded loaded_;
  bool isLoading_ = false;
  quint64 generation_ = 0;
  QLabel* title_;
  QLabel* subtitle_;
  QLabel* error_;
  WaveformView* waveform_;
  QProgressBar* loadingIndicator_;
  QWidget* rowsHost_;
  QFormLayout* form_;
};

}  // namespace vexal::ui
