#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <fstream>

#include "persistence/conversion_history.h"
#include "ui/convert_bar.h"
#include "ui/sidebar_view.h"
#include "ui_test_support.h"

namespace vexal::test {
namespace {

using SidebarTest = WindowTest;

// Folders in the way of the stores' files: the preset dialog stays open with the reason,
// and the unsaved history is named once beside the batch summary.
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
    ASSERT_TRUE(waitForBatch(model));
    EXPECT_FALSE(model.historyManager().saveNow());
    EXPECT_EQ(summary->text().count("History could not be saved: "), 1) << summary->text().toStdString();
  }
  EXPECT_TRUE(summary->text().startsWith("2 converted")) << summary->text().toStdString();
}

// Settings that could not all be read, or cannot be saved, are said once in the convert
// bar; what was read is kept.
TEST_F(SidebarTest, SettingsResetOrNotSavedAreToldOnce) {
  ConverterViewModel::Options remembered = options("old-");
  remembered.settingsFile = path("settings.json");
  std::ofstream(temp_ / "settings.json") << R"({"settings": {"fadeOutSeconds": 2.5}, "windowGeometry": ""})";
  {
    ui::ContentView window(remembered);
    EXPECT_EQ(window.viewModel().settings().fadeOutSeconds, 2.5);
    EXPECT_TRUE(window.convertBar()->summaryLabel()->text().contains("could not be read"))
        << window.convertBar()->summaryLabel()->text().toStdString();
  }

  std::filesystem::create_directories(temp_ / "blocked.json");
  remembered.settingsFile = path("blocked.json");
  ui::ContentView window(remembered);
  QLabel* summary = window.convertBar()->summaryLabel();
  EXPECT_FALSE(summary->text().contains("could not be read"));
  for (double seconds : {1.0, 2.0}) {
    ConversionSettings settings = window.viewModel().settings();
    settings.fadeInSeconds = seconds;
    window.viewModel().setSettings(settings);
  }
  EXPECT_EQ(summary->text().count("Settings cannot be saved"), 1) << summary->text().toStdString();
  // At the smallest window the long notice wraps, the bar grows: nothing is cut.
  window.show();
  window.resize(window.minimumSize());
  QCoreApplication::processEvents();
  const QRect needed = summary->fontMetrics().boundingRect(QRect(0, 0, summary->width(), 10'000),
                                                           Qt::TextWordWrap, summary->text());
  EXPECT_LE(needed.height(), summary->height()) << summary->width();
}

}  // namespace
}  // namespace vexal::test
