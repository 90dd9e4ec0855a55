#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>
#include <functional>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QFormLayout;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;
class QSpinBox;

namespace vexal {
class ConverterViewModel;
struct ConversionSettings;
}  // namespace vexal

namespace vexal::ui {

// "Advanced Settings": every option of the orchestrator's settings, edited in place.
// Sections: Encoding (the rows of each enabled lossy format in turn, then sample rate,
// channels and bit depth), Audio Processing, Loudness Normalization, Metadata, Quality.
class SettingsPanel : public QDialog {
  Q_OBJECT
 public:
  static constexpr int kWidth = 420;
  static constexpr int kMaxFormHeight = 480;

  explicit SettingsPanel(ConverterViewModel& viewModel, QWidget* parent = nullptr);

  // Labels of the "Encoding" rows on screen, in order ("MP3", "Mode", "Bitrate", …).
  QStringList encodingRowLabels() const;
  QPushButton* doneButton() const { return doneButton_; }
  QScrollArea* scrollArea() const { return scroll_; }

 protected:
  void changeEvent(QEvent* event) override;

 private:
  // As wide as the sections want in the current font, beside the scroll bar, within the
  // screen; as high as they want up to kMaxFormHeight.
  void fitToContent();
  void edit(const std::function<void(ConversionSettings&)>& change);
  void refresh();
  void alignFieldColumns();
  void rebuildEncoding();
  void rebuildTargetPresets();
  QWidget* buildAudioProcessing();
  QWidget* buildLoudness();
  QWidget* buildMetadata();
  QWidget* buildQuality();

  ConverterViewModel& viewModel_;
  QScrollArea* scroll_ = nullptr;
  QWidget* chrome_[2] = {};  // the title and the buttons around the form
  QFormLayout* encodingForm_ = nullptr;
  QString encodingSignature_;
  QFormLayout* processingForm_ = nullptr;
  QCheckBox* trimSilence_ = nullptr;
  QSpinBox* threshold_ = nullptr;
  QDoubleSpinBox* fadeIn_ = nullptr;
  QDoubleSpinBox* fadeOut_ = nullptr;
  QFormLayout* loudnessForm_ = nullptr;
  QComboBox* normalizationMode_ = nullptr;
  QDoubleSpinBox* target_ = nullptr;
  QLabel* targetUnit_ = nullptr;
  QWidget* targetPresets_ = nullptr;
  QDoubleSpinBox* ceiling_ = nullptr;
  QCheckBox* limiter_ = nullptr;
  QHBoxLayout* targetPresetsLayout_ = nullptr;
  int presetsMode_ = -1;
  QFormLayout* metadataForm_ = nullptr;
  QCheckBox* preserveMetadata_ = nullptr;
  QCheckBox* replayGain_ = nullptr;
  QSpinBox* coverMaxSize_ = nullptr;  // 0 shows "Original"
  QCheckBox* frontCoverOnly_ = nullptr;
  QCheckBox* albumByFolder_ = nullptr;
  QComboBox* templatePicker_ = nullptr;
  QLineEdit* templateField_ = nullptr;
  QLabel* templateCaption_ = nullptr;
  QCheckBox* verify_ = nullptr;
  QCheckBox* skipConverted_ = nullptr;
  QPushButton* doneButton_ = nullptr;
};

}  // namespace vexal::ui
