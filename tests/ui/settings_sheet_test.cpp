// The Advanced Settings sheet: the wheel scrolls it without changing what slides under
// the pointer, and it fits the theme's font.

#include <QAbstractSpinBox>
#include <QComboBox>
#include <QGroupBox>
#include <QScrollArea>
#include <QScrollBar>
#include <QWheelEvent>

#include "ui/settings_panel.h"
#include "ui/sidebar_view.h"
#include "ui_test_support.h"

namespace vexal::test {
namespace {

class SettingsSheet : public WindowTest {
 protected:
  ui::SettingsPanel* open() {
    window_->sidebar()->showSettings();
    QCoreApplication::processEvents();
    return window_->sidebar()->settingsPanel();
  }
  // One notch down over the middle of `widget`.
  static void wheelOver(QWidget* widget) {
    const QPointF at = QRectF(widget->rect()).center();
    QWheelEvent wheel(at, widget->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(widget, &wheel);
  }
};

TEST_F(SettingsSheet, TheWheelScrollsPastPickersWithoutFocusAndTurnsOnlyAFocusedOne) {
  ConversionSettings settings = vm().settings();
  settings.enabledFormats = {OutputFormat::mp3};
  settings.trimSilence = true;
  vm().setSettings(settings);
  ui::SettingsPanel* panel = open();
  QScrollBar* scroll = panel->scrollArea()->verticalScrollBar();
  ASSERT_GT(scroll->maximum(), 0) << "the sheet must scroll for this test";
  panel->doneButton()->setFocus();
  auto* mode = panel->findChild<QComboBox*>("normalizationMode");
  auto* threshold = panel->findChild<QAbstractSpinBox*>("silenceThreshold");
  auto* mp3Mode = panel->findChild<QComboBox*>("mp3Mode");
  for (QWidget* picker : std::initializer_list<QWidget*>{mode, threshold, mp3Mode}) {
    ASSERT_NE(picker, nullptr);
    const int before = scroll->value();
    wheelOver(picker);
    EXPECT_EQ(vm().settings(), settings) << picker->objectName().toStdString();
    EXPECT_GT(scroll->value(), before) << picker->objectName().toStdString();
    EXPECT_FALSE(picker->hasFocus());
    scroll->setValue(0);
  }
  // With the keyboard focus the wheel is the picker's.
  mode->setFocus();
  wheelOver(mode);
  EXPECT_NE(vm().settings().normalizationMode, settings.normalizationMode);
}

// A theme with a large font: every control stays left of the scroll bar (no part under
// it or past the edge), and the sheet stays on the screen.
TEST_F(SettingsSheet, FitsTheLargeFontOfATheme) {
  const QFont original = QApplication::font();
  QFont large = original;
  large.setPointSizeF(original.pointSizeF() * 1.6);
  QApplication::setFont(large);
  ui::SettingsPanel* panel = open();
  QApplication::setFont(original);
  QWidget* viewport = panel->scrollArea()->viewport();
  for (QWidget* control : panel->scrollArea()->widget()->findChildren<QWidget*>()) {
    if (!control->isVisible() || !(qobject_cast<QComboBox*>(control) || qobject_cast<QGroupBox*>(control) ||
                                   qobject_cast<QAbstractSpinBox*>(control)))
      continue;
    const QRect onViewport(control->mapTo(viewport, QPoint(0, 0)), control->size());
    EXPECT_LE(onViewport.right(), viewport->width() - 1) << control->objectName().toStdString();
  }
  EXPECT_LE(panel->frameGeometry().width(), panel->screen()->availableGeometry().width());
  EXPECT_LE(panel->frameGeometry().height(), panel->screen()->availableGeometry().height());
}

}  // namespace
}  // namespace vexal::test
