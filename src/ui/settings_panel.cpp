#include "ui/settings_panel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QGuiApplication>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QVBoxLayout>
#include <algorithm>
#include <type_traits>

#include "orchestration/converter_view_model.h"
#include "ui/settings_choices.h"

namespace vexal::ui {
namespace {

constexpr int kNarrowField = 50;  // px: threshold and fades
constexpr int kTargetField = 60;  // px: normalisation target
// The lossy formats in the order they are listed.
constexpr std::array<OutputFormat, 4> kLossyFormats = {OutputFormat::aac, OutputFormat::mp3,
                                                       OutputFormat::opus, OutputFormat::vorbis};

QLabel* captionLabel(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setWordWrap(true);
  label->setForegroundRole(QPalette::PlaceholderText);
  QFont font = label->font();
  font.setPointSizeF(font.pointSizeF() * 0.9);
  label->setFont(font);
  return label;
}

// A numeric field followed by its unit.
QWidget* withUnit(QWidget* field, const QString& unit, QLabel** unitLabel = nullptr) {
  auto* host = new QWidget;
  auto* row = new QHBoxLayout(host);
  row->setContentsMargins(0, 0, 0, 0);
  row->addWidget(field);
  auto* label = new QLabel(unit, host);
  row->addWidget(label);
  row->addStretch(1);
  if (unitLabel) *unitLabel = label;
  return host;
}

template <typename T>
QComboBox* choiceCombo(const QString& name, const std::vector<Choice<T>>& choices,
                       const std::optional<T>& current) {
  auto* combo = new QComboBox;
  combo->setObjectName(name);
  int selected = -1;
  for (const auto& choice : choices) {
    if (choice.value == current) selected = combo->count();
    combo->addItem(choice.text);
  }
  if (selected < 0 && current) {
    // A value no list offers (from a preset or another format's list) stays visible.
    if constexpr (std::is_same_v<T, std::int64_t>) {
      combo->addItem(QStringLiteral("%1 kbps").arg(*current / 1000));
    } else if constexpr (std::is_same_v<T, double>) {
      combo->addItem(
          QStringLiteral("%1 Hz").arg(QLocale(QLocale::English).toString(*current, 'f', 0)));
    } else {
      combo->addItem(QString::number(*current));
    }
    selected = combo->count() - 1;
  }
  combo->setCurrentIndex(selected);
  return combo;
}

QGroupBox* section(const QString& title, QFormLayout** form) {
  auto* box = new QGroupBox(title);
  *form = new QFormLayout(box);
  (*form)->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
  (*form)->setLabelAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  return box;
}

}  // namespace

SettingsPanel::SettingsPanel(ConverterViewModel& viewModel, QWidget* parent)
    : QDialog(parent), viewModel_(viewModel) {
  setObjectName(QStringLiteral("SettingsPanel"));
  setWindowTitle(QStringLiteral("Advanced Settings"));
  setModal(true);

  auto* outer = new QVBoxLayout(this);
  auto* title = new QLabel(QStringLiteral("Advanced Settings"), this);
  QFont titleFont = title->font();
  titleFont.setBold(true);
  titleFont.setPointSizeF(titleFont.pointSizeF() * 1.2);
  title->setFont(titleFont);
  outer->addWidget(title);

  auto* scroll = new QScrollArea(this);
  scroll_ = scroll;
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  auto* content = new QWidget(scroll);
  auto* sections = new QVBoxLayout(content);
  sections->setContentsMargins(0, 0, 4, 0);
  QFormLayout* encoding = nullptr;
  sections->addWidget(section(QStringLiteral("Encoding"), &encoding));
  encodingForm_ = encoding;
  sections->addWidget(buildAudioProcessing());
  sections->addWidget(buildLoudness());
  sections->addWidget(buildMetadata());
  sections->addWidget(buildQuality());
  sections->addStretch(1);
  scroll->setWidget(content);
  outer->addWidget(scroll, 1);

  auto* buttons = new QDialogButtonBox(this);
  doneButton_ = buttons->addButton(QStringLiteral("Done"), QDialogButtonBox::AcceptRole);
  doneButton_->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  outer->addWidget(buttons);

  chrome_[0] = title;
  chrome_[1] = buttons;
  connect(&viewModel_, &ConverterViewModel::settingsChanged, this, &SettingsPanel::refresh);
  refresh();
}

void SettingsPanel::fitToContent() {
  if (!chrome_[1]) return;  // still being built
  const QSize wanted = scroll_->widget()->sizeHint();
  const QMargins margins = layout()->contentsMargins();
  const QScreen* display = screen() ? screen() : QGuiApplication::primaryScreen();
  const QSize available = display ? display->availableGeometry().size() : QSize(1920, 1080);
  const int chrome = margins.top() + margins.bottom() + 2 * layout()->spacing() +
                     chrome_[0]->sizeHint().height() + chrome_[1]->sizeHint().height();
  const int roomWidth = available.width() - margins.left() - margins.right();
  const int bar = scroll_->verticalScrollBar()->sizeHint().width();
  scroll_->setFixedSize(std::min(std::max(kWidth - margins.left() - margins.right(), wanted.width() + bar), roomWidth),
                        std::min({wanted.height(), kMaxFormHeight, available.height() - chrome}));
  adjustSize();
}

void SettingsPanel::changeEvent(QEvent* event) {
  QDialog::changeEvent(event);
  if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) fitToContent();
}

void SettingsPanel::edit(const std::function<void(ConversionSettings&)>& change) {
  ConversionSettings settings = viewModel_.settings();
  change(settings);
  viewModel_.setSettings(settings);
}

QStringList SettingsPanel::encodingRowLabels() const {
  QStringList labels;
  for (int i = 0; i < encodingForm_->rowCount(); ++i) {
    QLayoutItem* item = encodingForm_->itemAt(i, QFormLayout::LabelRole);
    if (!item) item = encodingForm_->itemAt(i, QFormLayout::SpanningRole);
    if (auto* label = item ? qobject_cast<QLabel*>(item->widget()) : nullptr)
      labels << label->text();
  }
  return labels;
}

void SettingsPanel::rebuildEncoding() {
  const ConversionSettings& s = viewModel_.settings();
  // Rebuilt only when the rows themselves change, never while a field is being edited.
  QString signature;
  for (OutputFormat format : kLossyFormats) {
    if (s.enabledFormats.contains(format)) signature += qs(rawValue(format)) + QLatin1Char(',');
  }
  signature += QStringLiteral("|%1|%2|%3|%4|%5|%6")
                   .arg(qs(rawValue(s.bitrateMode)))
                   .arg(rawValue(s.aacStrategy))
                   .arg(rawValue(s.vbrQuality))
                   .arg(s.customBitrate.value_or(-1))
                   .arg(s.customSampleRate.value_or(-1))
                   .arg(s.customChannels ? static_cast<int>(*s.customChannels) : -1);
  signature += qs(rawValue(s.primaryFormat())) + qs(rawValue(s.bitDepth));
  for (const auto& [format, bitrate] : s.formatBitrates)
    signature += QLatin1Char('|') + qs(rawValue(format)) + QString::number(bitrate);
  if (signature == encodingSignature_) return;
  encodingSignature_ = signature;

  // The combo that caused this change may still be inside its signal: retire the old
  // rows later instead of deleting them now.
  while (encodingForm_->rowCount() > 0) {
    const QFormLayout::TakeRowResult taken = encodingForm_->takeRow(0);
    for (QLayoutItem* item : {taken.labelItem, taken.fieldItem}) {
      if (!item) continue;
      if (QWidget* widget = item->widget()) {
        widget->hide();
        widget->deleteLater();
      }
      delete item;
    }
  }

  auto bitrateRow = [&](OutputFormat format) {
    const auto choices = bitrateChoices(format);
    auto* combo = choiceCombo<std::int64_t>(qs(rawValue(format)) + QStringLiteral("Bitrate"), choices,
                                            s.chosenBitrate(format));
    connect(combo, &QComboBox::activated, this, [this, choices, format](int index) {
      if (index < 0 || index >= static_cast<int>(choices.size())) return;
      edit([&](ConversionSettings& settings) { settings.setBitrate(format, choices[index].value); });
    });
    encodingForm_->addRow(QStringLiteral("Bitrate"), combo);
  };

  for (OutputFormat format : kLossyFormats) {
    if (!s.enabledFormats.contains(format)) continue;
    auto* heading = new QLabel(qs(displayName(format)));
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);
    encodingForm_->addRow(heading);
    if (format == OutputFormat::mp3) {
      auto* mode = new QComboBox;
      mode->setObjectName(QStringLiteral("mp3Mode"));
      for (BitrateMode m : kAllBitrateModes) mode->addItem(qs(label(m)));
      mode->setCurrentIndex(static_cast<int>(s.bitrateMode));
      connect(mode, &QComboBox::activated, this, [this](int index) {
        edit([&](ConversionSettings& settings) { settings.bitrateMode = kAllBitrateModes[index]; });
      });
      encodingForm_->addRow(QStringLiteral("Mode"), mode);
      if (s.bitrateMode == BitrateMode::vbr) {
        auto* quality = new QComboBox;
        quality->setObjectName(QStringLiteral("mp3VbrQuality"));
        for (VBRQuality q : kAllVBRQualities) {
          quality->addItem(qs(label(q)));
          if (q == s.vbrQuality) quality->setCurrentIndex(quality->count() - 1);
        }
        connect(quality, &QComboBox::activated, this, [this](int index) {
          edit(
              [&](ConversionSettings& settings) { settings.vbrQuality = kAllVBRQualities[index]; });
        });
        encodingForm_->addRow(QStringLiteral("VBR Quality"), quality);
      } else {
        bitrateRow(format);
      }
    } else if (format == OutputFormat::aac) {
      auto* mode = new QComboBox;
      mode->setObjectName(QStringLiteral("aacMode"));
      for (AACStrategy strategy : kAllAACStrategies) mode->addItem(qs(label(strategy)));
      mode->setCurrentIndex(rawValue(s.aacStrategy));
      connect(mode, &QComboBox::activated, this, [this](int index) {
        edit(
            [&](ConversionSettings& settings) { settings.aacStrategy = kAllAACStrategies[index]; });
      });
      encodingForm_->addRow(QStringLiteral("Mode"), mode);
      if (s.aacStrategy == AACStrategy::cbr) bitrateRow(format);
    } else {
      bitrateRow(format);
    }
  }

  // Under a heading of their own: they apply to every format, not to the last one listed.
  if (encodingForm_->rowCount() > 0) {
    auto* heading = new QLabel(QStringLiteral("All Formats"));
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);
    encodingForm_->addRow(heading);
  }
  const auto rates = sampleRateChoices();
  auto* rate = choiceCombo<double>(QStringLiteral("sampleRate"), rates, s.customSampleRate);
  connect(rate, &QComboBox::activated, this, [this, rates](int index) {
    if (index < 0 || index >= static_cast<int>(rates.size())) return;
    edit([&](ConversionSettings& settings) { settings.customSampleRate = rates[index].value; });
  });
  encodingForm_->addRow(QStringLiteral("Sample Rate"), rate);
  const auto channels = channelChoices();
  auto* channelCombo =
      choiceCombo<std::uint32_t>(QStringLiteral("channels"), channels, s.customChannels);
  connect(channelCombo, &QComboBox::activated, this, [this, channels](int index) {
    if (index < 0 || index >= static_cast<int>(channels.size())) return;
    edit([&](ConversionSettings& settings) { settings.customChannels = channels[index].value; });
  });
  encodingForm_->addRow(QStringLiteral("Channels"), channelCombo);
  auto* depth = new QComboBox;
  depth->setObjectName(QStringLiteral("bitDepth"));
  depth->setToolTip(QStringLiteral("WAV, AIFF, FLAC and ALAC; 16 bits are dithered unless the source fits"));
  for (BitDepth choice : kAllBitDepths) depth->addItem(qs(label(choice)));
  depth->setCurrentIndex(static_cast<int>(s.bitDepth));
  connect(depth, &QComboBox::activated, this, [this](int index) {
    edit([&](ConversionSettings& settings) { settings.bitDepth = kAllBitDepths[index]; });
  });
  encodingForm_->addRow(QStringLiteral("Bit Depth"), depth);
}

QWidget* SettingsPanel::buildAudioProcessing() {
  QGroupBox* box = section(QStringLiteral("Audio Processing"), &processingForm_);
  trimSilence_ = new QCheckBox(QStringLiteral("Trim silence"), box);
  trimSilence_->setObjectName(QStringLiteral("trimSilence"));
  connect(trimSilence_, &QCheckBox::toggled, this,
          [this](bool on) { edit([&](ConversionSettings& s) { s.trimSilence = on; }); });
  threshold_ = new QSpinBox(box);
  threshold_->setObjectName(QStringLiteral("silenceThreshold"));
  threshold_->setRange(-120, 0);
  threshold_->setFixedWidth(kNarrowField);
  threshold_->setButtonSymbols(QAbstractSpinBox::NoButtons);
  connect(threshold_, &QSpinBox::valueChanged, this, [this](int value) {
    edit([&](ConversionSettings& s) { s.silenceThresholdDB = value; });
  });
  auto fade = [&](const QString& name, double ConversionSettings::*field) {
    auto* spin = new QDoubleSpinBox(box);
    spin->setObjectName(name);
    spin->setDecimals(1);
    spin->setRange(0.0, 60.0);
    spin->setSingleStep(0.5);
    spin->setFixedWidth(kNarrowField);
    spin->setButtonSymbols(QAbstractSpinBox::NoButtons);
    connect(spin, &QDoubleSpinBox::valueChanged, this, [this, field](double value) {
      edit([&](ConversionSettings& s) { s.*field = value; });
    });
    return spin;
  };
  fadeIn_ = fade(QStringLiteral("fadeIn"), &ConversionSettings::fadeInSeconds);
  fadeOut_ = fade(QStringLiteral("fadeOut"), &ConversionSettings::fadeOutSeconds);
  processingForm_->addRow(trimSilence_);
  processingForm_->addRow(QStringLiteral("Threshold"), withUnit(threshold_, QStringLiteral("dB")));
  processingForm_->addRow(QStringLiteral("Fade in"), withUnit(fadeIn_, QStringLiteral("seconds")));
  processingForm_->addRow(QStringLiteral("Fade out"),
                          withUnit(fadeOut_, QStringLiteral("seconds")));
  return box;
}

QWidget* SettingsPanel::buildLoudness() {
  QGroupBox* box = section(QStringLiteral("Loudness Normalization"), &loudnessForm_);
  normalizationMode_ = new QComboBox(box);
  normalizationMode_->setObjectName(QStringLiteral("normalizationMode"));
  for (NormalizationMode mode : kAllNormalizationModes)
    normalizationMode_->addItem(qs(label(mode)));
  connect(normalizationMode_, &QComboBox::activated, this, [this](int index) {
    edit([&](ConversionSettings& s) { s.normalizationMode = kAllNormalizationModes[index]; });
  });
  target_ = new QDoubleSpinBox(box);
  target_->setObjectName(QStringLiteral("normalizationTarget"));
  target_->setDecimals(1);
  target_->setRange(-70.0, 0.0);
  target_->setFixedWidth(kTargetField);
  target_->setButtonSymbols(QAbstractSpinBox::NoButtons);
  connect(target_, &QDoubleSpinBox::valueChanged, this, [this](double value) {
    edit([&](ConversionSettings& s) { s.normalizationTarget = value; });
  });
  targetPresets_ = new QWidget(box);
  targetPresetsLayout_ = new QHBoxLayout(targetPresets_);
  targetPresetsLayout_->setContentsMargins(0, 0, 0, 0);
  targetPresetsLayout_->setSpacing(4);
  ceiling_ = new QDoubleSpinBox(box);
  ceiling_->setObjectName(QStringLiteral("truePeakCeiling"));
  ceiling_->setDecimals(1);
  ceiling_->setRange(-20.0, 0.0);
  ceiling_->setSingleStep(0.5);
  ceiling_->setFixedWidth(kTargetField);
  ceiling_->setButtonSymbols(QAbstractSpinBox::NoButtons);
  connect(ceiling_, &QDoubleSpinBox::valueChanged, this, [this](double value) {
    edit([&](ConversionSettings& s) { s.truePeakCeiling = value; });
  });
  limiter_ = new QCheckBox(QStringLiteral("Reach the target with a true-peak limiter"), box);
  limiter_->setObjectName(QStringLiteral("truePeakLimiter"));
  connect(limiter_, &QCheckBox::toggled, this,
          [this](bool on) { edit([&](ConversionSettings& s) { s.truePeakLimiter = on; }); });
  loudnessForm_->addRow(QStringLiteral("Mode"), normalizationMode_);
  loudnessForm_->addRow(QStringLiteral("Target"), withUnit(target_, QString(), &targetUnit_));
  loudnessForm_->addRow(QStringLiteral("Presets"), targetPresets_);
  loudnessForm_->addRow(QStringLiteral("Ceiling"), withUnit(ceiling_, QStringLiteral("dBTP")));
  loudnessForm_->addRow(limiter_);
  return box;
}

void SettingsPanel::rebuildTargetPresets() {
  const NormalizationMode mode = viewModel_.settings().normalizationMode;
  if (static_cast<int>(mode) == presetsMode_) return;
  presetsMode_ = static_cast<int>(mode);
  while (QLayoutItem* item = targetPresetsLayout_->takeAt(0)) {
    if (item->widget()) item->widget()->deleteLater();
    delete item;
  }
  for (const auto& preset : normalizationTargetPresets(mode)) {
    auto* button = new QPushButton(preset.text, targetPresets_);
    button->setObjectName(QStringLiteral("targetPreset"));
    QFont small = button->font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    button->setFont(small);
    connect(button, &QPushButton::clicked, this, [this, value = *preset.value] {
      edit([&](ConversionSettings& s) { s.normalizationTarget = value; });
    });
    targetPresetsLayout_->addWidget(button);
    button->show();
  }
  targetPresetsLayout_->addStretch(1);
}

QWidget* SettingsPanel::buildMetadata() {
  QGroupBox* box = section(QStringLiteral("Metadata"), &metadataForm_);
  preserveMetadata_ = new QCheckBox(QStringLiteral("Preserve metadata"), box);
  preserveMetadata_->setObjectName(QStringLiteral("preserveMetadata"));
  connect(preserveMetadata_, &QCheckBox::toggled, this,
          [this](bool on) { edit([&](ConversionSettings& s) { s.preserveMetadata = on; }); });
  replayGain_ = new QCheckBox(QStringLiteral("Write ReplayGain tags"), box);
  replayGain_->setObjectName(QStringLiteral("writeReplayGain"));
  connect(replayGain_, &QCheckBox::toggled, this,
          [this](bool on) { edit([&](ConversionSettings& s) { s.writeReplayGain = on; }); });
  // Pictures for devices that want small covers, or only the front one.
  coverMaxSize_ = new QSpinBox(box);
  coverMaxSize_->setObjectName(QStringLiteral("coverMaxSize"));
  coverMaxSize_->setRange(0, 10000);
  coverMaxSize_->setSingleStep(100);
  coverMaxSize_->setSpecialValueText(QStringLiteral("Original"));
  connect(coverMaxSize_, &QSpinBox::valueChanged, this, [this](int size) {
    edit([&](ConversionSettings& s) {
      s.coverMaxSize = size > 0 ? std::optional(static_cast<std::uint32_t>(size)) : std::nullopt;
    });
  });
  frontCoverOnly_ = new QCheckBox(QStringLiteral("Front cover only"), box);
  frontCoverOnly_->setObjectName(QStringLiteral("frontCoverOnly"));
  connect(frontCoverOnly_, &QCheckBox::toggled, this,
          [this](bool on) { edit([&](ConversionSettings& s) { s.frontCoverOnly = on; }); });
  albumByFolder_ = new QCheckBox(QStringLiteral("Treat each folder as one album"), box);
  albumByFolder_->setObjectName(QStringLiteral("albumByFolder"));
  connect(albumByFolder_, &QCheckBox::toggled, this,
          [this](bool on) { edit([&](ConversionSettings& s) { s.albumByFolder = on; }); });
  auto* naming = new QLabel(QStringLiteral("Output naming"), box);
  QFont bold = naming->font();
  bold.setBold(true);
  naming->setFont(bold);
  templatePicker_ = new QComboBox(box);
  templatePicker_->setObjectName(QStringLiteral("templatePicker"));
  for (const auto& choice : NamingTemplate::templateChoices())
    templatePicker_->addItem(qs(choice.label));
  connect(templatePicker_, &QComboBox::activated, this, [this](int index) {
    const auto& choices = NamingTemplate::templateChoices();
    if (index < 0 || index >= static_cast<int>(choices.size())) return;
    edit([&](ConversionSettings& s) {
      s.namingTemplate.templateText = std::string(choices[index].templateText);
    });
  });
  templateField_ = new QLineEdit(box);
  templateField_->setObjectName(QStringLiteral("templateField"));
  connect(templateField_, &QLineEdit::textEdited, this, [this](const QString& text) {
    edit([&](ConversionSettings& s) { s.namingTemplate.templateText = text.toStdString(); });
  });
  templateCaption_ = captionLabel(
      QStringLiteral(
          "Variables: {filename} {title} {artist} {album} {track} {disc} {genre} {year} "
          "{format} {ext}"),
      box);
  metadataForm_->addRow(preserveMetadata_);
  metadataForm_->addRow(replayGain_);
  metadataForm_->addRow(QStringLiteral("Cover size"),
                        withUnit(coverMaxSize_, QStringLiteral("px")));
  metadataForm_->addRow(frontCoverOnly_);
  metadataForm_->addRow(albumByFolder_);
  metadataForm_->addRow(naming);
  metadataForm_->addRow(QStringLiteral("Template"), templatePicker_);
  metadataForm_->addRow(QStringLiteral("Custom pattern"), templateField_);
  metadataForm_->addRow(templateCaption_);
  return box;
}

QWidget* SettingsPanel::buildQuality() {
  QFormLayout* form = nullptr;
  QGroupBox* box = section(QStringLiteral("Quality"), &form);
  verify_ = new QCheckBox(QStringLiteral("Verify output after conversion"), box);
  verify_->setObjectName(QStringLiteral("verifyAfterConversion"));
  connect(verify_, &QCheckBox::toggled, this,
          [this](bool on) { edit([&](ConversionSettings& s) { s.verifyAfterConversion = on; }); });
  form->addRow(verify_);
  form->addRow(
      captionLabel(QStringLiteral("Decodes each output file to check for corruption"), box));
  skipConverted_ = new QCheckBox(QStringLiteral("Skip files already converted"), box);
  skipConverted_->setObjectName(QStringLiteral("skipConverted"));
  connect(skipConverted_, &QCheckBox::toggled, this,
          [this](bool on) { edit([&](ConversionSettings& s) { s.skipConverted = on; }); });
  form->addRow(skipConverted_);
  form->addRow(captionLabel(
      QStringLiteral("Keeps the destination's earlier outputs of unchanged files and "
                     "replaces those of changed ones"),
      box));
  return box;
}

void SettingsPanel::alignFieldColumns() {
  // Each section is a form of its own; one label width makes their fields line up.
  QList<QWidget*> labels;
  int widest = 0;
  for (QFormLayout* form : findChildren<QFormLayout*>()) {
    for (int row = 0; row < form->rowCount(); ++row) {
      QLayoutItem* item = form->itemAt(row, QFormLayout::LabelRole);
      QWidget* label = item ? item->widget() : nullptr;
      if (!label || label->isHidden()) continue;
      labels << label;
      widest = std::max(widest, label->sizeHint().width());
    }
  }
  for (QWidget* label : labels) label->setMinimumWidth(widest);
}

void SettingsPanel::refresh() {
  const ConversionSettings& s = viewModel_.settings();
  rebuildEncoding();
  alignFieldColumns();

  const QSignalBlocker b1(trimSilence_), b2(threshold_), b3(fadeIn_), b4(fadeOut_),
      b5(normalizationMode_), b6(target_), b7(preserveMetadata_), b8(replayGain_),
      b9(templatePicker_), b10(verify_), b11(skipConverted_), b12(ceiling_), b13(limiter_),
      b14(albumByFolder_), b15(coverMaxSize_), b16(frontCoverOnly_);
  trimSilence_->setChecked(s.trimSilence);
  if (threshold_->value() != static_cast<int>(s.silenceThresholdDB)) {
    threshold_->setValue(static_cast<int>(s.silenceThresholdDB));
  }
  processingForm_->setRowVisible(threshold_->parentWidget(), s.trimSilence);
  if (fadeIn_->value() != s.fadeInSeconds) fadeIn_->setValue(s.fadeInSeconds);
  if (fadeOut_->value() != s.fadeOutSeconds) fadeOut_->setValue(s.fadeOutSeconds);

  normalizationMode_->setCurrentIndex(static_cast<int>(s.normalizationMode));
  const bool normalizing = s.normalizationMode != NormalizationMode::off;
  if (target_->value() != s.normalizationTarget) target_->setValue(s.normalizationTarget);
  targetUnit_->setText(normalizationUnit(s.normalizationMode));
  loudnessForm_->setRowVisible(target_->parentWidget(), normalizing);
  loudnessForm_->setRowVisible(targetPresets_, normalizing);
  if (ceiling_->value() != s.truePeakCeiling) ceiling_->setValue(s.truePeakCeiling);
  limiter_->setChecked(s.truePeakLimiter);
  loudnessForm_->setRowVisible(ceiling_->parentWidget(), normalizing);
  // A peak target is a sample level the ceiling already keeps: no limiter there.
  loudnessForm_->setRowVisible(limiter_, normalizing && s.normalizationMode != NormalizationMode::peak);
  rebuildTargetPresets();

  preserveMetadata_->setChecked(s.preserveMetadata);
  replayGain_->setChecked(s.writeReplayGain);
  coverMaxSize_->setValue(static_cast<int>(std::min<std::uint32_t>(s.coverMaxSize.value_or(0), 10000)));
  frontCoverOnly_->setChecked(s.frontCoverOnly);
  metadataForm_->setRowVisible(coverMaxSize_->parentWidget(), s.preserveMetadata);
  metadataForm_->setRowVisible(frontCoverOnly_, s.preserveMetadata);
  albumByFolder_->setChecked(s.albumByFolder);
  metadataForm_->setRowVisible(albumByFolder_, s.writeReplayGain);
  const QString templateText = QString::fromStdString(s.namingTemplate.templateText);
  int choiceIndex = -1;
  const auto& choices = NamingTemplate::templateChoices();
  for (std::size_t i = 0; i < choices.size(); ++i) {
    if (qs(choices[i].templateText) == templateText) choiceIndex = static_cast<int>(i);
  }
  templatePicker_->setCurrentIndex(choiceIndex);
  const bool custom = templateText != qs(NamingTemplate::kFilenameOnly);
  if (templateField_->text() != templateText) templateField_->setText(templateText);
  metadataForm_->setRowVisible(templateField_, custom);
  metadataForm_->setRowVisible(templateCaption_, custom);
  verify_->setChecked(s.verifyAfterConversion);
  skipConverted_->setChecked(s.skipConverted);
  fitToContent();
}

}  // namespace vexal::ui
