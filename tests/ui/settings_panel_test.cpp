#include "ui/settings_panel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QTest>

#include "ui/sidebar_view.h"
#include "ui_test_support.h"

namespace vexal::test {
namespace {

using ui::SettingsPanel;

class SettingsPanelTest : public WindowTest {
 protected:
  SettingsPanel* open() {
    window_->sidebar()->settingsButton()->click();
    SettingsPanel* panel = window_->sidebar()->settingsPanel();
    EXPECT_TRUE(panel && panel->isVisible());
    return panel;
  }
  template <typename T>
  T* field(SettingsPanel* panel, const char* name) {
    return panel->findChild<T*>(QString::fromLatin1(name));
  }
  // Picks an entry as a person would: by its text, through the combo's activation.
  static void choose(QComboBox* combo, const QString& text) {
    const int index = combo->findText(text);
    ASSERT_GE(index, 0) << text.toStdString();
    combo->setCurrentIndex(index);
    emit combo->activated(index);
  }
};

TEST_F(SettingsPanelTest, Mp3VbrQualityReplacesBitrate) {
  enable({OutputFormat::mp3});
  SettingsPanel* panel = open();
  choose(field<QComboBox>(panel, "mp3Mode"), "VBR");
  EXPECT_EQ(vm().settings().bitrateMode, BitrateMode::vbr);
  EXPECT_EQ(panel->encodingRowLabels(),
            (QStringList{"MP3", "Mode", "VBR Quality", "All Formats", "Sample Rate", "Channels"}));
  auto* quality = field<QComboBox>(panel, "mp3VbrQuality");
  ASSERT_NE(quality, nullptr);
  choose(quality, "V0 (~245 kbps)");
  EXPECT_EQ(vm().settings().vbrQuality, VBRQuality::v0);
  choose(field<QComboBox>(panel, "mp3Mode"), "CBR");
  EXPECT_EQ(panel->encodingRowLabels(),
            (QStringList{"MP3", "Mode", "Bitrate", "All Formats", "Sample Rate", "Channels"}));
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_EQ(field<QComboBox>(panel, "mp3VbrQuality"), nullptr);
}

TEST_F(SettingsPanelTest, ThresholdShowsOnlyWhileTrimming) {
  SettingsPanel* panel = open();
  auto* threshold = field<QSpinBox>(panel, "silenceThreshold");
  EXPECT_FALSE(threshold->isVisibleTo(panel));
  field<QCheckBox>(panel, "trimSilence")->click();
  EXPECT_TRUE(vm().settings().trimSilence);
  EXPECT_TRUE(threshold->isVisibleTo(panel));
  EXPECT_EQ(threshold->value(), -50);
  threshold->setValue(-42);
  EXPECT_DOUBLE_EQ(vm().settings().silenceThresholdDB, -42.0);
  field<QDoubleSpinBox>(panel, "fadeIn")->setValue(1.5);
  EXPECT_DOUBLE_EQ(vm().settings().fadeInSeconds, 1.5);
  field<QDoubleSpinBox>(panel, "fadeOut")->setValue(2.0);
  EXPECT_DOUBLE_EQ(vm().settings().fadeOutSeconds, 2.0);
}

TEST_F(SettingsPanelTest, TemplateFieldAppearsForAnyTemplateButFilename) {
  SettingsPanel* panel = open();
  auto* picker = field<QComboBox>(panel, "templatePicker");
  auto* text = field<QLineEdit>(panel, "templateField");
  EXPECT_FALSE(text->isVisibleTo(panel));
  choose(picker, "Artist / Album / Track - Title");
  EXPECT_EQ(vm().settings().namingTemplate.templateText, "{artist}/{album}/{track} - {title}");
  EXPECT_TRUE(text->isVisibleTo(panel));
  EXPECT_EQ(text->text(), "{artist}/{album}/{track} - {title}");
  text->selectAll();
  QTest::keyClicks(text, "{year} {title}");
  EXPECT_EQ(vm().settings().namingTemplate.templateText, "{year} {title}");
  EXPECT_EQ(picker->currentIndex(), -1);
}

TEST_F(SettingsPanelTest, TogglesEditTheSettings) {
  SettingsPanel* panel = open();
  field<QCheckBox>(panel, "preserveMetadata")->click();
  field<QCheckBox>(panel, "writeReplayGain")->click();
  field<QCheckBox>(panel, "verifyAfterConversion")->click();
  EXPECT_FALSE(vm().settings().preserveMetadata);
  EXPECT_TRUE(vm().settings().writeReplayGain);
  EXPECT_TRUE(vm().settings().verifyAfterConversion);
  // And follow settings changed elsewhere (a preset).
  vm().setSettings(ConversionSettings{});
  EXPECT_TRUE(field<QCheckBox>(panel, "preserveMetadata")->isChecked());
  EXPECT_FALSE(field<QCheckBox>(panel, "verifyAfterConversion")->isChecked());
  panel->doneButton()->click();
  EXPECT_FALSE(panel->isVisible());
}

}  // namespace
}  // namespace vexal::test
