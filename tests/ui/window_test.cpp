#include <QCheckBox>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QSpinBox>
#include <QTest>
#include <QToolButton>
#include <QUrl>
#include <fstream>

#include "sources/path_text.h"
#include "ui/file_dialogs.h"
#include "ui/file_tree_view.h"
#include "ui/job_list_model.h"
#include "ui/metadata_panel.h"
#include "ui/settings_panel.h"
#include "ui/sidebar_view.h"
#include "ui/waveform_view.h"
#include "ui_test_support.h"

namespace vexal::test {
namespace {

using ui::JobListModel;

// Drags `mime` over the window and drops it, as the window system delivers it.
void dropMime(QWidget* window, const QMimeData& mime, bool* targetedWhileHovering = nullptr) {
  const QPoint at = window->rect().center();
  QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(window, &enter);
  QDragMoveEvent move(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(window, &move);
  if (targetedWhileHovering)
    *targetedWhileHovering = static_cast<ui::ContentView*>(window)->isTargeted();
  QDropEvent drop(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(window, &drop);
}

void dropPaths(QWidget* window, const QStringList& paths, bool* targetedWhileHovering = nullptr) {
  QMimeData mime;
  QList<QUrl> urls;
  for (const QString& path : paths) urls << QUrl::fromLocalFile(path);
  mime.setUrls(urls);
  dropMime(window, mime, targetedWhileHovering);
}

// The format rows work from the keyboard alone.
TEST_F(WindowTest, FormatRowsAnswerSpaceRightAndLeft) {
  const auto focused = [] { return QApplication::focusWidget(); };
  ui::SidebarView* sidebar = window_->sidebar();
  ui::FormatRow* flac = sidebar->formatRow(OutputFormat::flac);
  QToolButton* header = sidebar->convertToHeader();
  header->setFocus(Qt::TabFocusReason);
  for (int i = 0; i < 10 && focused() != flac; ++i) QTest::keyClick(focused(), Qt::Key_Tab);
  ASSERT_EQ(focused(), flac);

  QTest::keyClick(flac, Qt::Key_Space);
  EXPECT_TRUE(vm().settings().enabledFormats.contains(OutputFormat::flac));
  QTest::keyClick(flac, Qt::Key_Right);
  EXPECT_EQ(sidebar->expandedFormat(), OutputFormat::flac);
  EXPECT_TRUE(sidebar->formatSettingsView()->isVisible());
  // The options come next in the Tab order, then the next format.
  QTest::keyClick(flac, Qt::Key_Tab);
  EXPECT_EQ(focused(), sidebar->formatSettingsView()->sampleRateButton());
  QTest::keyClick(flac, Qt::Key_Left);
  EXPECT_EQ(sidebar->expandedFormat(), std::nullopt);
  QTest::keyClick(flac, Qt::Key_Space);
  EXPECT_FALSE(vm().settings().enabledFormats.contains(OutputFormat::flac));
  // A format that is off has no options to unfold.
  QTest::keyClick(flac, Qt::Key_Right);
  EXPECT_EQ(sidebar->expandedFormat(), std::nullopt);
}

TEST_F(WindowTest, DroppedFolderBecomesOneGroupOfItsAudioFiles) {
  const std::filesystem::path album = temp_ / "in" / "Album";
  std::filesystem::create_directories(album);
  writeAudio(album, "a", sine(44100, 2, 0.2, 440, -6), InputKind::flac16);
  std::filesystem::rename(writeAudio(album, "b", sine(44100, 2, 0.2, 440, -6), InputKind::mp3), album / "b.MP3");
  std::ofstream(album / "notes.txt") << "not audio";
  bool targeted = false;
  dropPaths(window_.get(), {path("in/Album")}, &targeted);
  EXPECT_TRUE(targeted) << "the window is highlighted while the drag hovers";
  EXPECT_FALSE(window_->isTargeted());
  ASSERT_EQ(vm().jobs().size(), 2u);
  EXPECT_FALSE(window_->isShowingDropZone());

  JobListModel* model = window_->jobModel();
  ASSERT_EQ(model->rowCount(), 1);
  const QModelIndex group = model->index(0, 0);
  EXPECT_TRUE(model->isGroup(group));
  EXPECT_EQ(group.data().toString(), "Album");
  ASSERT_EQ(model->rowCount(group), 2);
  EXPECT_TRUE(window_->fileTree()->isExpanded(group));
}

// The settings sheet's cover options for devices; "Original" sets no limit.
TEST_F(WindowTest, SettingsSheetSetsTheCoverOptions) {
  window_->sidebar()->showSettings();
  auto* size = window_->sidebar()->settingsPanel()->findChild<QSpinBox*>("coverMaxSize");
  auto* frontOnly = window_->sidebar()->settingsPanel()->findChild<QCheckBox*>("frontCoverOnly");
  ASSERT_TRUE(size && frontOnly);
  size->setValue(500);
  frontOnly->click();
  EXPECT_EQ(vm().settings().coverMaxSize, 500u);
  EXPECT_TRUE(vm().settings().frontCoverOnly);
  size->setValue(0);
  EXPECT_EQ(vm().settings().coverMaxSize, std::nullopt);
  EXPECT_EQ(size->text(), "Original");
}

// A second window over the same settings file starts where the first one ended.
TEST_F(WindowTest, SettingsDestinationAndGeometryAreRestoredAtTheNextStart) {
  std::filesystem::create_directories(temp_ / "elsewhere");
  ConverterViewModel::Options remembered = options("second-");
  remembered.settingsFile = path("settings.json");
  ConversionSettings settings;
  settings.enabledFormats = {OutputFormat::mp3, OutputFormat::flac};
  settings.setBitrate(OutputFormat::mp3, 192000);
  settings.fadeOutSeconds = 1.5;
  {
    ui::ContentView first(remembered);
    first.show();
    first.viewModel().setSettings(settings);
    first.viewModel().setOutputDirectory(path("elsewhere"));
    first.resize(1000, 700);
  }
  ui::ContentView second(remembered);
  EXPECT_EQ(second.viewModel().settings(), settings);
  EXPECT_EQ(second.viewModel().outputDirectory(), path("elsewhere"));
  EXPECT_EQ(second.size(), QSize(1000, 700));
}

// A non-UTF-8 name keeps its bytes dropped (percent-encoded) or picked in a dialog
// (shown with U+FFFD), and the metadata panel reads the real file.
TEST_F(WindowTest, NamesThatAreNotUtf8KeepTheirBytesFromDropsAndDialogs) {
  const std::filesystem::path source = temp_ / "in" / "caf\xe9.wav";
  std::filesystem::create_directories(source.parent_path());
  writeWav(source, 4410);
  const QByteArray bytes = QByteArray::fromStdString(source.native());
  // A file manager's list names it with its byte escaped ("caf%E9.wav").
  QMimeData mime;
  mime.setData("text/uri-list", "file://" + bytes.toPercentEncoding("/") + "\r\n");
  dropMime(window_.get(), mime);
  ASSERT_EQ(vm().jobs().size(), 1u);
  EXPECT_EQ(vm().jobs()[0]->sourceURL(), source);

  clickRow(window_->jobModel()->index(0, 0));
  ui::MetadataPanel* panel = window_->metadataPanel();
  ASSERT_TRUE(waitFor([&] { return !panel->isLoading() && !panel->waveform()->isLoading(); }));
  EXPECT_FALSE(panel->waveform()->samples().empty());
  const auto rows = panel->rows();
  ASSERT_GE(rows.size(), 2u);
  EXPECT_NE(rows[0].second, "Unknown");
  EXPECT_EQ(rows[1].first, "Duration");

  const QString shown = QFile::decodeName(bytes);
  ASSERT_TRUE(shown.contains(QChar(0xFFFD)));
  EXPECT_EQ(pathFromQString(ui::pathOfShownName(shown)), source);
  // A folder holding two names that read the same cannot tell which was meant.
  writeWav(temp_ / "in" / "caf\xe8.wav", 10);
  EXPECT_EQ(ui::pathOfShownName(shown), shown);
}

}  // namespace
}  // namespace vexal::test
