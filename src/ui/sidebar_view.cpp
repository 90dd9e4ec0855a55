#include "ui/sidebar_view.h"

#include <QAccessible>
#include <QActionGroup>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>
#include <QVariantAnimation>

#include "orchestration/converter_view_model.h"
#include "persistence/preset_manager.h"
#include "sources/watch_folder_service.h"
#include "ui/file_dialogs.h"
#include "ui/format_row_accessible.h"
#include "ui/history_view.h"
#include "ui/icons.h"
#include "ui/settings_choices.h"
#include "ui/settings_panel.h"

namespace vexal::ui {
namespace {

constexpr double kLetterSpacing = 0.7;  // px, the format names
constexpr int kToggleAnimationMs = 150;

QColor blend(const QColor& a, const QColor& b, double t) {
  return QColor::fromRgbF(static_cast<float>(a.redF() * (1 - t) + b.redF() * t),
                          static_cast<float>(a.greenF() * (1 - t) + b.greenF() * t),
                          static_cast<float>(a.blueF() * (1 - t) + b.blueF() * t));
}

QLabel* caption(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  QFont font = label->font();
  font.setPointSizeF(font.pointSizeF() * 0.85);
  font.setBold(true);
  font.setLetterSpacing(QFont::AbsoluteSpacing, kLetterSpacing);
  label->setFont(font);
  label->setForegroundRole(QPalette::PlaceholderText);
  return label;
}

QPushButton* menuButton(const QString& name, QWidget* parent) {
  auto* button = new QPushButton(parent);
  button->setObjectName(name);
  button->setFlat(false);
  return button;
}

template <typename T>
void fillMenu(QPushButton* button, const std::vector<Choice<T>>& choices,
              const std::optional<T>& current, const std::function<void(std::optional<T>)>& apply) {
  // A new menu each time: the old one may be delivering the very action that changed
  // the settings, so it goes only once control is back in the event loop.
  QMenu* old = button->menu();
  auto* menu = new QMenu(button);
  auto* group = new QActionGroup(menu);
  for (const auto& choice : choices) {
    QAction* action = menu->addAction(choice.text);
    action->setCheckable(true);
    action->setChecked(choice.value == current);
    group->addAction(action);
    QObject::connect(action, &QAction::triggered, button,
                     [apply, value = choice.value] { apply(value); });
  }
  button->setMenu(menu);
  if (old) old->deleteLater();
}

}  // namespace

// --- FormatToggle ---

FormatToggle::FormatToggle(QWidget* parent)
    : QAbstractButton(parent), fill_(new QVariantAnimation(this)) {
  setCheckable(true);
  setFocusPolicy(Qt::NoFocus);
  setFixedSize(18, 18);
  fill_->setDuration(kToggleAnimationMs);
  fill_->setEasingCurve(QEasingCurve::OutCubic);
  fill_->setStartValue(0.0);
  fill_->setEndValue(1.0);
  connect(fill_, &QVariantAnimation::valueChanged, this, qOverload<>(&QWidget::update));
  connect(this, &QAbstractButton::toggled, this, [this](bool on) {
    fill_->stop();
    fill_->setDirection(on ? QAbstractAnimation::Forward : QAbstractAnimation::Backward);
    if (isVisible()) fill_->start();
  });
}

void FormatToggle::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF box = QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5);
  const bool animating = fill_->state() == QAbstractAnimation::Running;
  const double amount = animating ? fill_->currentValue().toDouble() : (isChecked() ? 1.0 : 0.0);
  if (amount > 0.0) {
    p.setPen(Qt::NoPen);
    QColor accent = palette().color(QPalette::Highlight);
    accent.setAlphaF(static_cast<float>(amount));
    p.setBrush(accent);
    p.drawRoundedRect(box, 4, 4);
  }
  if (isChecked()) {
    QPen tick(palette().color(QPalette::HighlightedText), 2.0, Qt::SolidLine, Qt::RoundCap,
              Qt::RoundJoin);
    p.setPen(tick);
    QPainterPath path;
    path.moveTo(box.left() + box.width() * 0.25, box.top() + box.height() * 0.52);
    path.lineTo(box.left() + box.width() * 0.43, box.top() + box.height() * 0.70);
    path.lineTo(box.left() + box.width() * 0.76, box.top() + box.height() * 0.32);
    p.drawPath(path);
  } else {
    QColor border = palette().color(QPalette::WindowText);
    border.setAlphaF(0.35f);
    p.setPen(QPen(border, 1.5));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(box, 4, 4);
  }
}

// --- FormatRow ---

FormatRow::FormatRow(OutputFormat format, QWidget* parent) : QWidget(parent), format_(format) {
  setObjectName(QStringLiteral("formatRow_") + qs(rawValue(format)));
  setCursor(Qt::PointingHandCursor);
  setFixedHeight(32);
  setFocusPolicy(Qt::StrongFocus);
  installFormatRowAccessibility();
  setAccessibleName(qs(displayName(format)));
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(12, 0, 6, 0);
  auto* name = new QLabel(qs(displayName(format)), this);
  QFont font = name->font();
  font.setLetterSpacing(QFont::AbsoluteSpacing, kLetterSpacing);
  font.setWeight(QFont::DemiBold);
  name->setFont(font);
  toggle_ = new FormatToggle(this);
  toggle_->setAccessibleName(qs(displayName(format)));
  chevron_ = new QToolButton(this);
  chevron_->setFocusPolicy(Qt::NoFocus);  // the row's Right and Left keys do its work
  chevron_->setAutoRaise(true);
  chevron_->setIconSize({12, 12});
  chevron_->setFixedSize(24, 24);
  chevron_->setObjectName(QStringLiteral("chevron"));
  layout->addWidget(name);
  layout->addStretch(1);
  layout->addWidget(chevron_);
  layout->addWidget(toggle_);
  connect(toggle_, &QAbstractButton::clicked, this, [this] {
    // The toggle only mirrors the settings; the sidebar decides and refreshes it.
    toggle_->setChecked(!toggle_->isChecked());
    emit toggleRequested(format_);
  });
  connect(chevron_, &QToolButton::clicked, this, [this] { emit chevronClicked(format_); });
  setState(false, false);
}

void FormatRow::setState(bool enabled, bool unfolded) {
  const bool changed = enabled != toggle_->isChecked();
  unfolded_ = unfolded;
  toggle_->setChecked(enabled);
  if (changed) {
    QAccessible::State checked;
    checked.checked = true;
    QAccessibleStateChangeEvent event(this, checked);
    QAccessible::updateAccessibility(&event);
  }
  chevron_->setVisible(enabled);
  chevron_->setIcon(
      symbolIcon(unfolded ? QStringLiteral("chevron.up") : QStringLiteral("chevron.down")));
  chevron_->setToolTip(unfolded ? tr("Hide options") : tr("Show options"));
  chevron_->setAccessibleName(chevron_->toolTip());
  QString description = enabled ? tr("Space removes this format.") : tr("Space adds this format.");
  if (enabled)
    description += unfolded ? tr(" Left hides its options.") : tr(" Right shows its options.");
  setAccessibleDescription(description);
}

void FormatRow::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Space:
    case Qt::Key_Select:
      emit toggleRequested(format_);
      break;
    case Qt::Key_Right:
      emit unfoldRequested(format_, true);
      break;
    case Qt::Key_Left:
      emit unfoldRequested(format_, false);
      break;
    default:
      QWidget::keyPressEvent(event);
      return;
  }
  event->accept();
}

void FormatRow::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
    emit toggleRequested(format_);
  }
}

void FormatRow::paintEvent(QPaintEvent*) {
  if (!hovered_) return;
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  QColor hover = palette().color(QPalette::WindowText);
  hover.setAlphaF(0.06f);
  p.setPen(Qt::NoPen);
  p.setBrush(hover);
  p.drawRoundedRect(QRectF(rect()).adjusted(4, 1, -4, -1), 6, 6);
}

void FormatRow::enterEvent(QEnterEvent*) {
  hovered_ = true;
  update();
}

void FormatRow::leaveEvent(QEvent*) {
  hovered_ = false;
  update();
}

// --- FormatSettingsView ---

FormatSettingsView::FormatSettingsView(ConverterViewModel& viewModel, QWidget* parent)
    : QWidget(parent), viewModel_(viewModel) {
  setObjectName(QStringLiteral("FormatSettingsView"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(20, 2, 12, 8);
  layout->setSpacing(3);
  bitrateCaption_ = caption(QStringLiteral("BITRATE"), this);
  bitrateButton_ = menuButton(QStringLiteral("bitrateMenu"), this);
  sampleRateButton_ = menuButton(QStringLiteral("sampleRateMenu"), this);
  channelsButton_ = menuButton(QStringLiteral("channelsMenu"), this);
  bitrateButton_->setAccessibleName(tr("Bitrate"));
  sampleRateButton_->setAccessibleName(tr("Sample rate"));
  channelsButton_->setAccessibleName(tr("Channels"));
  sampleRateButton_->setAccessibleDescription(tr("Sample rate of every output format"));
  channelsButton_->setAccessibleDescription(tr("Channel count of every output format"));
  layout->addWidget(bitrateCaption_);
  layout->addWidget(bitrateButton_);
  layout->addSpacing(4);
  layout->addWidget(caption(QStringLiteral("SAMPLE RATE"), this));
  layout->addWidget(sampleRateButton_);
  layout->addSpacing(4);
  layout->addWidget(caption(QStringLiteral("CHANNELS"), this));
  layout->addWidget(channelsButton_);
}

void FormatSettingsView::setFormat(std::optional<OutputFormat> format) {
  format_ = format;
  refresh();
}

void FormatSettingsView::edit(const std::function<void(ConversionSettings&)>& change) {
  ConversionSettings settings = viewModel_.settings();
  change(settings);
  viewModel_.setSettings(settings);
}

void FormatSettingsView::refresh() {
  if (!format_) return;
  const ConversionSettings& settings = viewModel_.settings();
  const bool lossy = isLossy(*format_);
  bitrateCaption_->setVisible(lossy);
  bitrateButton_->setVisible(lossy);
  if (lossy) {
    const OutputFormat format = *format_;
    bitrateButton_->setAccessibleDescription(
        tr("Bitrate of %1 outputs").arg(qs(displayName(format))));
    bitrateButton_->setText(bitrateMenuLabel(settings, format));
    fillMenu<std::int64_t>(bitrateButton_, bitrateChoices(format), settings.chosenBitrate(format),
                           [this, format](std::optional<std::int64_t> value) {
                             edit([&](ConversionSettings& s) { s.setBitrate(format, value); });
                           });
  }
  const auto rates = sampleRateChoices();
  sampleRateButton_->setText(rates.front().text);
  for (const auto& choice : rates) {
    if (choice.value == settings.customSampleRate) sampleRateButton_->setText(choice.text);
  }
  fillMenu<double>(sampleRateButton_, rates, settings.customSampleRate,
                   [this](std::optional<double> value) {
                     edit([&](ConversionSettings& s) { s.customSampleRate = value; });
                   });
  const auto channels = channelChoices();
  channelsButton_->setText(channels.front().text);
  for (const auto& choice : channels) {
    if (choice.value == settings.customChannels) channelsButton_->setText(choice.text);
  }
  fillMenu<std::uint32_t>(channelsButton_, channels, settings.customChannels,
                          [this](std::optional<std::uint32_t> value) {
                            edit([&](ConversionSettings& s) { s.customChannels = value; });
                          });
}

// --- SavePresetDialog ---

SavePresetDialog::SavePresetDialog(Save save, QWidget* parent) : QDialog(parent), save_(std::move(save)) {
  setWindowTitle(QStringLiteral("Save Preset"));
  setObjectName(QStringLiteral("SavePresetDialog"));
  setModal(true);
  auto* layout = new QVBoxLayout(this);
  auto* title = new QLabel(QStringLiteral("Save Preset"), this);
  QFont font = title->font();
  font.setBold(true);
  title->setFont(font);
  // One line: wrapped at the dialog's width it left "preset." alone on the second.
  auto* message = new QLabel(
      QStringLiteral("Save the current format and settings as a reusable preset."), this);
  nameField_ = new QLineEdit(this);
  nameField_->setPlaceholderText(QStringLiteral("Name"));
  nameField_->setAccessibleName(QStringLiteral("Preset name"));
  errorLabel_ = new QLabel(this);
  errorLabel_->setObjectName(QStringLiteral("savePresetError"));
  errorLabel_->setWordWrap(true);
  errorLabel_->hide();
  auto* buttons = new QDialogButtonBox(this);
  saveButton_ = buttons->addButton(QStringLiteral("Save"), QDialogButtonBox::AcceptRole);
  cancelButton_ = buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
  saveButton_->setDefault(true);
  saveButton_->setEnabled(false);
  connect(nameField_, &QLineEdit::textChanged, this,
          [this](const QString& name) { saveButton_->setEnabled(!name.trimmed().isEmpty()); });
  layout->addWidget(title);
  layout->addWidget(message);
  layout->addWidget(nameField_);
  layout->addWidget(errorLabel_);
  layout->addWidget(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, [this] {
    const QString name = nameField_->text().trimmed();
    if (name.isEmpty()) return;  // Return on a blank name
    if (const auto saved = save_(name); !saved) {
      errorLabel_->setText(tr("The preset could not be saved: %1").arg(saved.error()));
      errorLabel_->show();
      errorLabel_->setAccessibleName(errorLabel_->text());
      return;
    }
    accept();
  });
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  setMinimumWidth(340);
}

void SavePresetDialog::start() {
  nameField_->clear();
  errorLabel_->clear();
  errorLabel_->hide();
  open();
}

// --- SidebarView ---

SidebarView::SidebarView(ConverterViewModel& viewModel, QWidget* parent)
    : QWidget(parent), viewModel_(viewModel) {
  setObjectName(QStringLiteral("SidebarView"));
  setMinimumWidth(kMinimumWidth);
  folderPicker_ = pickWatchFolder;

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(8, 12, 8, 12);
  layout->setSpacing(2);

  convertToHeader_ = new QToolButton(this);
  convertToHeader_->setObjectName(QStringLiteral("convertToHeader"));
  convertToHeader_->setText(QStringLiteral("CONVERT TO"));
  convertToHeader_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  convertToHeader_->setAutoRaise(true);
  convertToHeader_->setArrowType(Qt::DownArrow);
  QFont headerFont = convertToHeader_->font();
  headerFont.setBold(true);
  headerFont.setPointSizeF(headerFont.pointSizeF() * 0.85);
  headerFont.setLetterSpacing(QFont::AbsoluteSpacing, kLetterSpacing);
  convertToHeader_->setFont(headerFont);
  convertToHeader_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  convertToHeader_->setFocusPolicy(Qt::StrongFocus);
  convertToHeader_->setAccessibleName(tr("Convert to"));
  convertToHeader_->setAccessibleDescription(tr("Shows or hides the list of output formats"));
  layout->addWidget(convertToHeader_);

  formatList_ = new QWidget(this);
  formatLayout_ = new QVBoxLayout(formatList_);
  formatLayout_->setContentsMargins(0, 0, 0, 0);
  formatLayout_->setSpacing(0);
  for (std::size_t i = 0; i < kAllOutputFormats.size(); ++i) {
    auto* row = new FormatRow(kAllOutputFormats[i], formatList_);
    rows_[i] = row;
    formatLayout_->addWidget(row);
    connect(row, &FormatRow::toggleRequested, this, &SidebarView::toggleFormat);
    connect(row, &FormatRow::chevronClicked, this, [this](OutputFormat format) {
      setExpandedFormat(expandedFormat_ == format ? std::nullopt : std::optional(format));
    });
    connect(row, &FormatRow::unfoldRequested, this, [this](OutputFormat format, bool unfold) {
      if (unfold) {
        setExpandedFormat(format);
      } else if (expandedFormat_ == format) {
        setExpandedFormat(std::nullopt);
      }
    });
  }
  formatSettings_ = new FormatSettingsView(viewModel_, formatList_);
  formatSettings_->hide();
  layout->addWidget(formatList_);
  layout->addStretch(1);

  connect(convertToHeader_, &QToolButton::clicked, this, [this] {
    isConvertToCollapsed_ = !isConvertToCollapsed_;
    formatList_->setVisible(!isConvertToCollapsed_);
    convertToHeader_->setArrowType(isConvertToCollapsed_ ? Qt::RightArrow : Qt::DownArrow);
  });

  watchButton_ = new QPushButton(this);
  watchButton_->setObjectName(QStringLiteral("watchFolderButton"));
  connect(watchButton_, &QPushButton::clicked, this, &SidebarView::onWatchClicked);

  presetsButton_ = new QPushButton(symbolIcon(QStringLiteral("slider.horizontal.3")),
                                   QStringLiteral("Presets"), this);
  presetsButton_->setObjectName(QStringLiteral("presetsButton"));
  presetsMenu_ = new QMenu(presetsButton_);
  presetsButton_->setMenu(presetsMenu_);
  connect(presetsMenu_, &QMenu::aboutToShow, this, &SidebarView::rebuildPresetsMenu);
  connect(&viewModel_.presetManager(), &PresetManager::presetsChanged, this,
          &SidebarView::rebuildPresetsMenu);

  historyButton_ =
      new QPushButton(symbolIcon(QStringLiteral("clock")), QStringLiteral("History"), this);
  historyButton_->setObjectName(QStringLiteral("historyButton"));
  settingsButton_ =
      new QPushButton(symbolIcon(QStringLiteral("gearshape")), QStringLiteral("Settings"), this);
  settingsButton_->setObjectName(QStringLiteral("settingsButton"));
  watchButton_->setAccessibleName(tr("Watch folder"));
  presetsButton_->setAccessibleName(tr("Presets"));
  presetsButton_->setAccessibleDescription(
      tr("Applies a built-in or saved preset, or saves the "
         "current formats and settings as one"));
  historyButton_->setAccessibleName(tr("History"));
  historyButton_->setAccessibleDescription(tr("Shows the files converted so far"));
  settingsButton_->setAccessibleName(tr("Settings"));
  settingsButton_->setAccessibleDescription(
      tr("Opens the advanced settings: encoding, processing, loudness, metadata, quality"));
  connect(historyButton_, &QPushButton::clicked, this, &SidebarView::showHistory);
  connect(settingsButton_, &QPushButton::clicked, this, &SidebarView::showSettings);

  layout->addWidget(watchButton_);
  layout->addWidget(presetsButton_);
  layout->addSpacing(6);
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(historyButton_);
  bottom->addWidget(settingsButton_);
  layout->addLayout(bottom);

  connect(&viewModel_, &ConverterViewModel::settingsChanged, this, &SidebarView::refresh);
  connect(&viewModel_.watchFolderService(), &WatchFolderService::watchingChanged, this,
          &SidebarView::refresh);
  rebuildPresetsMenu();
  refresh();
}

FormatRow* SidebarView::formatRow(OutputFormat format) const {
  for (FormatRow* row : rows_) {
    if (row->format() == format) return row;
  }
  return nullptr;
}

void SidebarView::toggleFormat(OutputFormat format) {
  ConversionSettings settings = viewModel_.settings();
  if (settings.enabledFormats.erase(format) > 0) {
    if (expandedFormat_ == format) expandedFormat_.reset();
  } else {
    settings.enabledFormats.insert(format);
  }
  viewModel_.setSettings(settings);
  refresh();
}

void SidebarView::setExpandedFormat(std::optional<OutputFormat> format) {
  if (format && !viewModel_.settings().enabledFormats.contains(*format)) format.reset();
  expandedFormat_ = format;
  refresh();
}

void SidebarView::placeFormatSettings() {
  formatLayout_->removeWidget(formatSettings_);
  if (!expandedFormat_) {
    formatSettings_->hide();
    return;
  }
  FormatRow* owner = formatRow(*expandedFormat_);
  formatLayout_->insertWidget(formatLayout_->indexOf(owner) + 1, formatSettings_);
  formatSettings_->setFormat(expandedFormat_);
  formatSettings_->show();
  emit focusOrderChanged();
}

QList<QWidget*> SidebarView::focusChain() const {
  QList<QWidget*> chain{convertToHeader_};
  for (FormatRow* row : rows_) {
    chain << row;
    if (expandedFormat_ == row->format()) {
      chain << formatSettings_->bitrateButton() << formatSettings_->sampleRateButton()
            << formatSettings_->channelsButton();
    }
  }
  chain << watchButton_ << presetsButton_ << historyButton_ << settingsButton_;
  return chain;
}

void SidebarView::refresh() {
  const ConversionSettings& settings = viewModel_.settings();
  // A preset may disable the unfolded format.
  if (expandedFormat_ && !settings.enabledFormats.contains(*expandedFormat_))
    expandedFormat_.reset();
  for (FormatRow* row : rows_) {
    row->setState(settings.enabledFormats.contains(row->format()),
                  expandedFormat_ == row->format());
  }
  if (formatSettings_->format() != expandedFormat_ ||
      formatSettings_->isHidden() != !expandedFormat_) {
    placeFormatSettings();
  } else {
    formatSettings_->refresh();
  }
  const bool watching = viewModel_.watchFolderService().isWatching();
  watchButton_->setText(watching ? QStringLiteral("Watching") : QStringLiteral("Watch Folder"));
  watchButton_->setIcon(
      symbolIcon(watching ? QStringLiteral("eye.fill") : QStringLiteral("folder")));
  const auto& folder = viewModel_.watchFolderService().watchedFolder();
  watchButton_->setToolTip(watching && folder ? tr("Stop watching %1").arg(*folder)
                                              : tr("Convert new files that appear in a folder"));
  watchButton_->setAccessibleDescription(watchButton_->toolTip());
}

void SidebarView::onWatchClicked() {
  WatchFolderService& service = viewModel_.watchFolderService();
  if (service.isWatching()) {
    service.stopWatching();
  } else {
    const QString folder = folderPicker_(window());
    if (!folder.isEmpty()) service.startWatching(folder);
  }
  refresh();
}

void SidebarView::rebuildPresetsMenu() {
  presetsMenu_->clear();
  auto apply = [this](const ConversionPreset& preset) {
    viewModel_.setSettings(preset.toSettings());
  };
  presetsMenu_->addSection(QStringLiteral("Built-in"));
  for (const auto& preset : builtInPresets()) {
    connect(presetsMenu_->addAction(preset.name), &QAction::triggered, this,
            [apply, preset] { apply(preset); });
  }
  presetsMenu_->addSection(QStringLiteral("Saved"));
  const auto& saved = viewModel_.presetManager().presets();
  if (saved.empty()) presetsMenu_->addAction(tr("No saved presets"))->setEnabled(false);
  for (const auto& preset : saved) {
    connect(presetsMenu_->addAction(preset.name), &QAction::triggered, this,
            [apply, preset] { apply(preset); });
  }
  presetsMenu_->addSeparator();
  connect(presetsMenu_->addAction(QStringLiteral("Save Current As…")), &QAction::triggered, this,
          &SidebarView::showSavePreset);
}

SavePresetDialog* SidebarView::savePresetDialog() const {
  return savePresetDialog_;
}
HistoryView* SidebarView::historyView() const {
  return historyView_;
}
SettingsPanel* SidebarView::settingsPanel() const {
  return settingsPanel_;
}

void SidebarView::showSavePreset() {
  if (!savePresetDialog_) {
    savePresetDialog_ = new SavePresetDialog(
        [this](const QString& name) {
          return viewModel_.presetManager().add(ConversionPreset(name, viewModel_.settings()));
        },
        window());
  }
  savePresetDialog_->start();
}

void SidebarView::showHistory() {
  if (!historyView_) historyView_ = new HistoryView(viewModel_.historyManager(), window());
  historyView_->open();
}

void SidebarView::showSettings() {
  if (!settingsPanel_) settingsPanel_ = new SettingsPanel(viewModel_, window());
  settingsPanel_->open();
}

void SidebarView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const QColor base = palette().color(QPalette::Window);
  const QColor text = palette().color(QPalette::WindowText);
  p.fillRect(rect(), blend(base, text, 0.045));
  p.setPen(blend(base, text, 0.12));
  p.drawLine(rect().topRight(), rect().bottomRight());
}

}  // namespace vexal::ui
