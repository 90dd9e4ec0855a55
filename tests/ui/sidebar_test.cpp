#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QToolButton>

#include "persistence/conversion_history.h"
#include "persistence/preset_manager.h"
#include "sources/watch_folder_service.h"
#include "ui/convert_bar.h"
#include "ui/settings_choices.h"
#include "ui/sidebar_view.h"
#include "ui_test_support.h"

namespace vexal::test {
namespace {

using ui::FormatRow;
using ui::SidebarView;

class SidebarTest : public WindowTest {
 protected:
  SidebarView* sidebar() { return window_->sidebar(); }
  void clickRow(OutputFormat format) {
    FormatRow* row = sidebar()->formatRow(format);
    // On the row's name, away from the toggle and the chevron.
    QTest::mouseClick(row, Qt::LeftButton, {}, QPoint(20, row->height() / 2));
  }
};

TEST_F(SidebarTest, ClickingARowTogglesItsFormat) {
  clickRow(OutputFormat::flac);
  clickRow(OutputFormat::mp3);
  EXPECT_EQ(vm().settings().enabledFormats, (std::set{OutputFormat::flac, OutputFormat::mp3}));
  EXPECT_TRUE(sidebar()->formatRow(OutputFormat::flac)->toggle()->isOn());
  EXPECT_TRUE(sidebar()->formatRow(OutputFormat::flac)->chevron()->isVisibleTo(sidebar()));
  EXPECT_FALSE(sidebar()->formatRow(OutputFormat::wav)->chevron()->isVisibleTo(sidebar()));
  // The toggle itself does the same as the row.
  sidebar()->formatRow(OutputFormat::flac)->toggle()->click();
  EXPECT_EQ(vm().settings().enabledFormats, (std::set{OutputFormat::mp3}));
  EXPECT_FALSE(sidebar()->formatRow(OutputFormat::flac)->toggle()->isOn());
}

TEST_F(SidebarTest, SavePresetWithBlankNameSavesNothing) {
  clickRow(OutputFormat::mp3);
  QMenu* menu = sidebar()->presetsMenu();
  emit menu->aboutToShow();
  findAction(menu, "Save Current As…")->trigger();
  ui::SavePresetDialog* dialog = sidebar()->savePresetDialog();
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_FALSE(dialog->saveButton()->isEnabled());
  QTest::keyClicks(dialog->nameField(), "   \t ");
  EXPECT_FALSE(dialog->saveButton()->isEnabled());
  QTest::keyClick(dialog->nameField(), Qt::Key_Return);
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_TRUE(vm().presetManager().presets().empty());

  // A real name is saved trimmed, and listed under "Saved".
  sidebar()->showSavePreset();
  QTest::keyClicks(dialog->nameField(), "  Car MP3 ");
  dialog->saveButton()->click();
  ASSERT_EQ(vm().presetManager().presets().size(), 1u);
  EXPECT_EQ(vm().presetManager().presets()[0].name, "Car MP3");
  EXPECT_EQ(vm().presetManager().presets()[0].toSettings().enabledFormats,
            std::set{OutputFormat::mp3});
  emit menu->aboutToShow();
  EXPECT_NE(findAction(menu, "Car MP3"), nullptr);
}

// A data folder that cannot take the stores' files (a folder in the way of each): a
// preset that cannot be saved keeps its dialog open with the reason, and a history that
// cannot be saved is named once beside the batch summary.
TEST_F(SidebarTest, FailedSavesAreShownInTheWindow) {
  std::filesystem::create_directories(temp_ / "blocked" / "presets.json");
  std::filesystem::create_directories(temp_ / "blocked" / "history.json");
  ui::ContentView window(options("blocked/"));
  window.show();
  ConverterViewModel& model = window.viewModel();

  window.sidebar()->showSavePreset();
  ui::SavePresetDialog* dialog = window.sidebar()->savePresetDialog();
  QTest::keyClicks(dialog->nameField(), "Car");
  dialog->saveButton()->click();
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_TRUE(dialog->errorLabel()->isVisibleTo(dialog));
  EXPECT_TRUE(dialog->errorLabel()->text().startsWith("The preset could not be saved: "))
      << dialog->errorLabel()->text().toStdString();
  dialog->cancelButton()->click();
  window.sidebar()->showSavePreset();
  EXPECT_FALSE(dialog->errorLabel()->isVisibleTo(dialog)) << "a new attempt starts clean";
  dialog->cancelButton()->click();

  std::filesystem::create_directories(temp_ / "in");
  writeWav(temp_ / "in" / "a.wav", 441);
  writeWav(temp_ / "in" / "b.wav", 441);
  ConversionSettings settings = model.settings();
  settings.enabledFormats = {OutputFormat::wav};
  model.setSettings(settings);
  QLabel* summary = window.convertBar()->summaryLabel();
  for (const char* name : {"a.wav", "b.wav"}) {
    model.addFiles({path(std::string("in/") + name)});
    model.startConversion();
    ASSERT_TRUE(waitFor([&] { return !model.isConverting() && model.activeWorkerCount() == 0; }));
    EXPECT_FALSE(model.historyManager().saveNow());
    EXPECT_EQ(summary->text().count("History could not be saved: "), 1) << summary->text().toStdString();
  }
  EXPECT_TRUE(summary->text().startsWith("2 converted")) << summary->text().toStdString();
}

}  // namespace
}  // namespace vexal::test
