#pragma once

#include <QAbstractButton>
#include <QDialog>
#include <QPointer>
#include <QWidget>
#include <array>
#include <expected>
#include <functional>
#include <optional>

#include "model/output_format.h"

class QLabel;
class QVariantAnimation;
class QLineEdit;
class QMenu;
class QPushButton;
class QToolButton;
class QVBoxLayout;

namespace vexal {
class ConverterViewModel;
struct ConversionSettings;
}  // namespace vexal

namespace vexal::ui {

class HistoryView;
class SettingsPanel;

// The check mark beside a format name.
class FormatToggle : public QAbstractButton {
  Q_OBJECT
 public:
  explicit FormatToggle(QWidget* parent = nullptr);
  bool isOn() const { return isChecked(); }
  QSize sizeHint() const override { return {18, 18}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QVariantAnimation* fill_;  // 0 off … 1 on, eased when the state changes
};

// One format: its name and toggle; enabled formats add a chevron that unfolds their
// options. Clicking anywhere on the row toggles the format; from the keyboard Space
// toggles it and Right / Left unfold and fold its options. Assistive technology sees
// the row as one check box (its toggle and chevron are parts of it), told when it
// changes.
class FormatRow : public QWidget {
  Q_OBJECT
 public:
  FormatRow(OutputFormat format, QWidget* parent = nullptr);

  OutputFormat format() const { return format_; }
  FormatToggle* toggle() const { return toggle_; }
  QToolButton* chevron() const { return chevron_; }
  bool isChosen() const { return toggle_->isChecked(); }
  bool isUnfolded() const { return unfolded_; }
  void setState(bool enabled, bool unfolded);

 signals:
  void toggleRequested(vexal::OutputFormat format);
  void chevronClicked(vexal::OutputFormat format);
  void unfoldRequested(vexal::OutputFormat format, bool unfold);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  OutputFormat format_;
  FormatToggle* toggle_;
  QToolButton* chevron_;
  bool hovered_ = false;
  bool unfolded_ = false;
};

// The unfolded options of one format: "BITRATE" (lossy only), "SAMPLE RATE", "CHANNELS".
class FormatSettingsView : public QWidget {
  Q_OBJECT
 public:
  FormatSettingsView(ConverterViewModel& viewModel, QWidget* parent = nullptr);

  std::optional<OutputFormat> format() const { return format_; }
  void setFormat(std::optional<OutputFormat> format);
  void refresh();
  QPushButton* bitrateButton() const { return bitrateButton_; }
  QPushButton* sampleRateButton() const { return sampleRateButton_; }
  QPushButton* channelsButton() const { return channelsButton_; }

 private:
  void edit(const std::function<void(ConversionSettings&)>& change);

  ConverterViewModel& viewModel_;
  std::optional<OutputFormat> format_;
  QLabel* bitrateCaption_;
  QPushButton* bitrateButton_;
  QPushButton* sampleRateButton_;
  QPushButton* channelsButton_;
};

// "Save Preset": a name for the current format and settings; "Save" stays disabled
// while the name is blank.
class SavePresetDialog : public QDialog {
  Q_OBJECT
 public:
  // Saves the named preset; an error keeps the dialog open with its reason shown.
  using Save = std::function<std::expected<void, QString>(const QString& name)>;

  explicit SavePresetDialog(Save save, QWidget* parent = nullptr);
  QLineEdit* nameField() const { return nameField_; }
  QPushButton* saveButton() const { return saveButton_; }
  QPushButton* cancelButton() const { return cancelButton_; }
  QLabel* errorLabel() const { return errorLabel_; }
  // Clears the name and any earlier error, then shows the dialog.
  void start();

 private:
  Save save_;
  QLineEdit* nameField_;
  QLabel* errorLabel_;
  QPushButton* saveButton_;
  QPushButton* cancelButton_;
};

// Formats and their options, presets, the watched folder, history and settings.
class SidebarView : public QWidget {
  Q_OBJECT
 public:
  using FolderPicker = std::function<QString(QWidget* parent)>;

  static constexpr int kPreferredWidth = 240;  // px
  static constexpr int kMinimumWidth = 190;    // px; narrower, the splitter folds it away

  explicit SidebarView(ConverterViewModel& viewModel, QWidget* parent = nullptr);

  // Its controls in reading order, top to bottom.
  QList<QWidget*> focusChain() const;

  FormatRow* formatRow(OutputFormat format) const;
  std::optional<OutputFormat> expandedFormat() const { return expandedFormat_; }
  void setExpandedFormat(std::optional<OutputFormat> format);
  bool isConvertToCollapsed() const { return isConvertToCollapsed_; }
  FormatSettingsView* formatSettingsView() const { return formatSettings_; }
  QToolButton* convertToHeader() const { return convertToHeader_; }
  QPushButton* watchFolderButton() const { return watchButton_; }
  QPushButton* presetsButton() const { return presetsButton_; }
  QMenu* presetsMenu() const { return presetsMenu_; }
  QPushButton* historyButton() const { return historyButton_; }
  QPushButton* settingsButton() const { return settingsButton_; }
  SavePresetDialog* savePresetDialog() const;
  HistoryView* historyView() const;
  SettingsPanel* settingsPanel() const;

  // Replaces the folder dialog of the watch-folder button (tests).
  void setFolderPicker(FolderPicker picker) { folderPicker_ = std::move(picker); }

  void toggleFormat(OutputFormat format);
  void showSavePreset();
  void showHistory();
  void showSettings();

 signals:
  // The unfolded options moved: the window re-applies its Tab order.
  void focusOrderChanged();

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void refresh();
  void rebuildPresetsMenu();
  void onWatchClicked();
  void placeFormatSettings();

  ConverterViewModel& viewModel_;
  std::optional<OutputFormat> expandedFormat_;
  bool isConvertToCollapsed_ = false;
  QToolButton* convertToHeader_;
  QWidget* formatList_;
  QVBoxLayout* formatLayout_;
  std::array<FormatRow*, kAllOutputFormats.size()> rows_{};
  FormatSettingsView* formatSettings_;
  QPushButton* watchButton_;
  QPushButton* presetsButton_;
  QMenu* presetsMenu_;
  QPushButton* historyButton_;
  QPushButton* settingsButton_;
  QPointer<SavePresetDialog> savePresetDialog_;
  QPointer<HistoryView> historyView_;
  QPointer<SettingsPanel> settingsPanel_;
  FolderPicker folderPicker_;
};

}  // namespace vexal::ui
