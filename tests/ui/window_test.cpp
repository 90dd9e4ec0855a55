#include <QDialogButtonBox>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMimeData>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <fstream>

#include "sources/path_text.h"
#include "ui/convert_bar.h"
#include "ui/file_dialogs.h"
#include "ui/file_tree_view.h"
#include "ui/job_list_model.h"
#include "ui/metadata_panel.h"
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

TEST_F(WindowTest, DroppedFolderBecomesOneGroupOfItsAudioFiles) {
  ASSERT_TRUE(writeTone(temp_ / "in" / "Album" / "a.flac", 0.2));
  ASSERT_TRUE(writeTone(temp_ / "in" / "Album" / "b.MP3", 0.2));
  std::ofstream(temp_ / "in" / "Album" / "notes.txt") << "not audio";
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
  EXPECT_EQ(group.data(JobListModel::CountRole).toInt(), 2);
  EXPECT_EQ(group.data(Qt::ToolTipRole).toString(), path("in/Album"));
  ASSERT_EQ(model->rowCount(group), 2);
  EXPECT_EQ(model->index(0, 0, group).data(JobListModel::StatusTextRole).toString(), "Pending");
  EXPECT_TRUE(window_->fileTree()->isExpanded(group));
}

TEST_F(WindowTest, ConvertButtonExplainsWhyItCannotStart) {
  QPushButton* button = window_->convertBar()->convertButton();
  vm().addFiles({path("a.wav"), path("b.wav")});
  EXPECT_EQ(button->toolTip(), "Select at least one output format");
  EXPECT_EQ(button->text(), "Convert (2 files)");
  enable({OutputFormat::flac});
  EXPECT_EQ(button->toolTip(), "");
  EXPECT_TRUE(button->isEnabled());
  vm().setSelectedJobIDs({vm().jobs()[0]->id(), vm().jobs()[1]->id()});
  vm().removeSelectedJobs();
  EXPECT_EQ(button->toolTip(), "Add files to convert");
}

TEST_F(WindowTest, ClickedJobFeedsTheMetadataPanel) {
  ASSERT_TRUE(writeTone(temp_ / "song.flac", 2.5));
  vm().addFiles({path("song.flac")});
  auto* tree = window_->fileTree();
  const QModelIndex row = window_->jobModel()->index(0, 0);
  QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualRect(row).center());
  ASSERT_EQ(window_->selectedFileID(), vm().jobs()[0]->id());
  ui::MetadataPanel* panel = window_->metadataPanel();
  EXPECT_TRUE(panel->isVisible());
  ASSERT_TRUE(waitFor([&] { return !panel->isLoading(); }));
  const auto rows = panel->rows();
  ASSERT_GE(rows.size(), 2u);
  EXPECT_EQ(rows[0].first, "Format");
  EXPECT_EQ(rows[0].second, "FLAC");
  EXPECT_EQ(rows[1], std::make_pair(QString("Duration"), QString("0:02")));
}

TEST_F(WindowTest, DestinationControlChoosesTheOutputDirectory) {
  QString offered;
  window_->setDirectoryPicker([&](QWidget*, const QString& current) {
    offered = current;
    return path("elsewhere");
  });
  window_->destinationButton()->click();
  EXPECT_EQ(offered, path("out"));
  EXPECT_EQ(vm().outputDirectory(), path("elsewhere"));
  // The path itself, elided in the middle when long, never only its last folder.
  const QString shown = window_->destinationButton()->text();
  EXPECT_TRUE(shown.startsWith('/') && shown.endsWith("elsewhere")) << shown.toStdString();
  vm().setOutputDirectory(path(std::string(300, 'x') + "/last"));
  const QString elided = window_->destinationButton()->text();
  EXPECT_TRUE(elided.startsWith('/') && elided.contains(QChar(0x2026)) && elided.endsWith("/last"))
      << elided.toStdString();
  vm().setOutputDirectory(path("elsewhere"));
  // Cancelling the dialog changes nothing.
  window_->setDirectoryPicker([](QWidget*, const QString&) { return QString(); });
  window_->destinationButton()->click();
  EXPECT_EQ(vm().outputDirectory(), path("elsewhere"));
}

// A second window over the same settings file starts where the first one ended.
TEST_F(WindowTest, SettingsFormatsDestinationAndGeometryAreRestoredAtTheNextStart) {
  std::filesystem::create_directories(temp_ / "elsewhere");
  ConverterViewModel::Options remembered = options("second-");
  remembered.settingsFile = path("config/settings.json");
  std::filesystem::create_directories(temp_ / "config");
  ConversionSettings settings;
  settings.enabledFormats = {OutputFormat::mp3, OutputFormat::flac};
  settings.setBitrate(OutputFormat::mp3, 192000);
  settings.customSampleRate = 48000.0;
  settings.normalizationMode = NormalizationMode::lufs;
  settings.trimSilence = true;
  settings.fadeOutSeconds = 1.5;
  settings.namingTemplate.templateText = "{artist} - {title}";
  settings.verifyAfterConversion = true;
  {
    ui::ContentView first(remembered);
    first.show();
    first.viewModel().setSettings(settings);
    first.viewModel().setOutputDirectory(path("elsewhere"));
    first.sidebar()->setExpandedFormat(OutputFormat::mp3);
    first.resize(1000, 700);
  }
  ui::ContentView second(remembered);
  EXPECT_EQ(second.viewModel().settings(), settings);
  EXPECT_EQ(second.viewModel().outputDirectory(), path("elsewhere"));
  EXPECT_EQ(second.sidebar()->expandedFormat(), OutputFormat::mp3);
  EXPECT_EQ(second.size(), QSize(1000, 700));
}


TEST_F(WindowTest, DroppedFolderWithCueSheetImportsOnlyTheSheet) {
  ASSERT_TRUE(writeTone(temp_ / "in" / "Live" / "album.flac", 3.5));
  std::ofstream(temp_ / "in" / "Live" / "cover.jpg") << "jpeg";
  std::ofstream(temp_ / "in" / "Live" / "album.cue")
      << "PERFORMER \"The Band\"\n"
         "TITLE \"Live Set\"\n"
         "FILE \"album.flac\" WAVE\n"
         "  TRACK 01 AUDIO\n    TITLE \"Intro\"\n    INDEX 01 00:00:00\n"
         "  TRACK 02 AUDIO\n    INDEX 01 00:03:00\n";
  dropPaths(window_.get(), {path("in/Live")});
  ASSERT_EQ(vm().jobs().size(), 2u);
  EXPECT_EQ(vm().jobs()[0]->fileName(), "01 Intro");
  EXPECT_EQ(vm().jobs()[1]->fileName(), "02 Track 2");
  JobListModel* model = window_->jobModel();
  ASSERT_EQ(model->rowCount(), 1);
  EXPECT_EQ(model->index(0, 0).data().toString(), "Live Set");
  // A cue sheet dropped alone is never an audio job of its own.
  dropPaths(window_.get(), {path("in/Live/album.cue")});
  for (const auto& job : vm().jobs()) EXPECT_NE(job->sourceURL().extension(), ".cue");
}

TEST_F(WindowTest, DeleteKeyRemovesTheSelectedJobAndHidesItsMetadata) {
  vm().addFiles({path("a.wav"), path("b.wav"), path("c.wav")});
  auto* tree = window_->fileTree();
  tree->setFocus();
  tree->setCurrentIndex(window_->jobModel()->index(1, 0));
  ASSERT_TRUE(window_->metadataPanel()->isVisible());
  EXPECT_EQ(vm().selectedJobIDs().size(), 1u);
  QTest::keyClick(tree, Qt::Key_Delete);
  ASSERT_EQ(vm().jobs().size(), 2u);
  EXPECT_EQ(vm().jobs()[1]->fileName(), "c");
  EXPECT_TRUE(vm().selectedJobIDs().empty());
  EXPECT_FALSE(window_->selectedFileID().has_value());
  EXPECT_FALSE(window_->metadataPanel()->isVisible());
  // Removing the last jobs brings the drop zone back.
  tree->selectAll();
  QTest::keyClick(tree, Qt::Key_Delete);
  EXPECT_TRUE(window_->isShowingDropZone());
}

// A name that is not UTF-8 keeps its bytes whether dropped (a file manager
// percent-encodes the byte) or picked in a dialog (which shows U+FFFD for it), and the
// metadata panel reads the real file.
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

  auto* tree = window_->fileTree();
  const QModelIndex row = window_->jobModel()->index(0, 0);
  QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualRect(row).center());
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
