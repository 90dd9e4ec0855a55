#include <QDir>
#include <QProcess>
#include <QDragEnterEvent>
#include <QMenu>
#include <QMimeData>
#include <QPixmap>
#include <QUrl>
#include <chrono>
#include <thread>

#include "persistence/conversion_history.h"
#include "ui/file_tree_view.h"
#include "ui/history_view.h"
#include "ui/icon_gap_style.h"
#include "ui/job_list_model.h"
#include "ui/metadata_panel.h"
#include "ui/settings_panel.h"
#include "ui/sidebar_view.h"
#include "ui/waveform_view.h"
#include "ui_test_support.h"

#ifndef VEXAL_SCREENSHOT_DIR
#define VEXAL_SCREENSHOT_DIR "screenshots"
#endif

namespace vexal::test {
namespace {

// Writes `frames` frames of a lavfi source into a file whose encoder follows the
// extension, with extra ffmpeg arguments (tags).
bool writeGenerated(const std::filesystem::path& path, const QString& source, std::int64_t frames,
                    int sampleRate, int channels, const QStringList& extraArguments) {
  std::filesystem::create_directories(path.parent_path());
  QStringList arguments{"-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                        source + QStringLiteral(":sample_rate=%1").arg(sampleRate), "-af",
                        QStringLiteral("atrim=end_sample=%1").arg(frames), "-ac",
                        QString::number(channels)};
  arguments << extraArguments << QString::fromStdString(path.string());
  QProcess ffmpeg;
  ffmpeg.start(QStringLiteral("ffmpeg"), arguments);
  return ffmpeg.waitForFinished(30000) && ffmpeg.exitStatus() == QProcess::NormalExit &&
         ffmpeg.exitCode() == 0;
}

// Renders the window and its sheets to PNG files for people to look at (`make screenshots`).
class ScreenshotTest : public WindowTest {
 protected:
  static void SetUpTestSuite() { QApplication::setStyle(new ui::IconGapStyle); }
  void SetUp() override {
    WindowTest::SetUp();
    window_->resize(ui::ContentView::kDefaultWidth, ui::ContentView::kDefaultHeight);
  }
  void TearDown() override {
    QApplication::setPalette(lightPalette_);
    WindowTest::TearDown();
  }
  // A dark desktop palette, as a dark theme hands it to the application.
  static QPalette darkPalette() {
    QPalette p;
    p.setColor(QPalette::Window, QColor(0x24, 0x24, 0x24));
    p.setColor(QPalette::WindowText, QColor(0xee, 0xee, 0xec));
    p.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x1e));
    p.setColor(QPalette::AlternateBase, QColor(0x2a, 0x2a, 0x2a));
    p.setColor(QPalette::Text, QColor(0xee, 0xee, 0xec));
    p.setColor(QPalette::Button, QColor(0x30, 0x30, 0x30));
    p.setColor(QPalette::ButtonText, QColor(0xee, 0xee, 0xec));
    p.setColor(QPalette::Highlight, QColor(0x35, 0x84, 0xe4));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::PlaceholderText, QColor(0x9a, 0x99, 0x96));
    p.setColor(QPalette::ToolTipBase, QColor(0x30, 0x30, 0x30));
    p.setColor(QPalette::ToolTipText, QColor(0xee, 0xee, 0xec));
    return p;
  }
  // The window as on a 1920 × 1080 screen scaled by `scale`: the size it opens at there
  // (in logical pixels, so the layout is the one a user meets) drawn at that scale.
  void saveScaled(const QString& name, qreal scale) {
    const QSize screen(qRound(1920 / scale), qRound(1080 / scale));
    window_->resize(ui::ContentView::fittedSize({ui::ContentView::kDefaultWidth, ui::ContentView::kDefaultHeight},
                                                window_->minimumSize(), screen));
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    window_->jobModel()->flushChanges();
    QPixmap shot(window_->size() * scale);
    shot.setDevicePixelRatio(scale);
    shot.fill(Qt::transparent);
    window_->render(&shot);
    ASSERT_TRUE(shot.save(output(name), "PNG", 0)) << output(name).toStdString();
    window_->resize(ui::ContentView::kDefaultWidth, ui::ContentView::kDefaultHeight);
  }
  QPalette lightPalette_ = QApplication::palette();
  static QString output(const QString& name) {
    QDir().mkpath(QStringLiteral(VEXAL_SCREENSHOT_DIR));
    return QStringLiteral(VEXAL_SCREENSHOT_DIR "/") + name;
  }
  static void save(QWidget* widget, const QString& name) {
    QCoreApplication::processEvents();
    const QPixmap shot = widget->grab();
    ASSERT_FALSE(shot.isNull());
    ASSERT_TRUE(shot.save(output(name), "PNG", 0)) << output(name).toStdString();
  }

  // An album with long names being converted, a live recording finished, a few loose
  // files, one of which failed.
  void populate() {
    const QStringList album{"01 Overture to the Northern Lights (Live at the Harbour Hall, Take 1)",
                            "02 The Long Road Home Through the Glass Harbour (Extended Version)",
                            "03 Night Drive Along the Coast Road (Remastered 2024)",
                            "04 Glass Harbour (Acoustic Version, Take 3)",
                            "05 Coda - What the Northern Lights Left Behind (Reprise)"};
    QStringList albumPaths;
    for (int i = 0; i < album.size(); ++i) {
      const QString& name = album[i];
      // A swelling tone, so the waveform strip has a shape to show.
      ASSERT_TRUE(writeGenerated(
          temp_ / "Music" / "Northern Lights" / (name.toStdString() + ".flac"),
          "aevalsrc=sin(2*PI*220*t)*(0.08+0.9*abs(sin(2*PI*0.021*t)*sin(2*PI*0.0053*t+1)))*(1-0.35*"
          "random(0))",
          44100 * (i == 0 ? 187 : 3), 44100, 2,
          {"-metadata", "title=" + name.mid(3), "-metadata", "artist=Aurora Fields", "-metadata",
           "album=Northern Lights", "-metadata", "album_artist=Aurora Fields", "-metadata",
           QString("track=%1/%2").arg(i + 1).arg(album.size()), "-metadata", "date=2024",
           "-metadata", "genre=Ambient"}));
      albumPaths << path("Music/Northern Lights/" + name.toStdString() + ".flac");
    }
    vm().addFiles(albumPaths, QString("Aurora Fields - Northern Lights (Deluxe Anniversary Edition)"));
    vm().addFiles({path("Music/Live/Opening.wav"), path("Music/Live/Encore.wav")},
                  QString("Live at the Hall"));
    vm().addFiles({path("Downloads/podcast-episode-42.mp3"), path("Downloads/voice memo.m4a"),
                   path("Downloads/field recording.aiff")});
    const auto& jobs = vm().jobs();
    jobs[0]->setStatus(ConversionStatus::completed());
    jobs[1]->setStatus(ConversionStatus::completed());
    jobs[5]->setStatus(ConversionStatus::completed());
    jobs[6]->setStatus(ConversionStatus::completed());
    jobs[7]->setStatus(ConversionStatus::failed(
        ConversionError::fileNotReadable("/Downloads/podcast-episode-42.mp3")));
    jobs[9]->setStatus(ConversionStatus::cancelled());

    ConversionSettings settings = vm().settings();
    settings.enabledFormats = {OutputFormat::flac, OutputFormat::mp3, OutputFormat::opus};
    settings.customBitrate = 256000;
    settings.preserveMetadata = false;
    vm().setSettings(settings);
    window_->sidebar()->setExpandedFormat(OutputFormat::mp3);
  }

  // A real batch over a stand-in engine: FLAC outputs finish, the others advance to a
  // point and wait there until cancelled, so the rows show which output is being written.
  void startSlowBatch() {
    vm().setConcurrencyLimit(2);
    vm().setConvertFunction([](const std::filesystem::path& source, const std::filesystem::path&,
                               OutputFormat format, const ConversionSettings&, std::optional<std::int64_t>,
                               std::optional<std::int64_t>, ProgressCallback progress,
                               std::stop_token stop, const AudioMetadata*,
                               ConversionTally*) -> Expected<> {
      const bool quick = source.string().find("Night") != std::string::npos;
      const bool finishes = format == OutputFormat::flac;
      const double step = quick && finishes ? 0.1 : quick ? 0.03 : 0.004;
      for (int i = 1; i < 30000 && !stop.stop_requested(); ++i) {
        if (progress) progress(std::min(finishes ? 1.0 : 0.6, i * step));
        if (finishes && i * step >= 1.0) return {};
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      return Unexpected(ConversionError::cancelled());
    });
    vm().startConversion();
  }
};

TEST_F(ScreenshotTest, MainWindowSettingsAndHistory) {
  save(window_.get(), "empty.png");
  {
    // A drag hovering over the window.
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(path("song.flac"))});
    QDragEnterEvent enter(window_->rect().center(), Qt::CopyAction, &mime, Qt::LeftButton,
                          Qt::NoModifier);
    QApplication::sendEvent(window_.get(), &enter);
    ASSERT_TRUE(window_->isTargeted());
    save(window_.get(), "drop-target.png");
    QDragLeaveEvent leave;
    QApplication::sendEvent(window_.get(), &leave);
  }
  populate();
  // The failed download selected: its reason on the row and in the metadata panel.
  auto* tree = window_->fileTree();
  const QModelIndex failedRow = window_->jobModel()->indexOfJob(vm().jobs()[7]->id());
  tree->setFocus();
  tree->selectionModel()->setCurrentIndex(failedRow, QItemSelectionModel::ClearAndSelect);
  ASSERT_TRUE(waitFor([&] {
    return !window_->metadataPanel()->isLoading() &&
           !window_->metadataPanel()->waveform()->isLoading();
  }));
  startSlowBatch();
  const auto& night = vm().jobs()[2];
  ASSERT_TRUE(waitFor([&] { return night->currentOutput() && night->progress() >= 0.5; }));
  window_->jobModel()->flushChanges();
  save(window_.get(), "main.png");
  saveScaled("main@1.5x.png", 1.5);
  saveScaled("main@2x.png", 2.0);
  QApplication::setPalette(darkPalette());
  save(window_.get(), "main-dark.png");
  QApplication::setPalette(lightPalette_);
  vm().cancelConversion();

  window_->sidebar()->showSettings();
  ui::SettingsPanel* settings = window_->sidebar()->settingsPanel();
  ConversionSettings s = vm().settings();
  s.normalizationMode = NormalizationMode::lufs;
  s.trimSilence = true;
  vm().setSettings(s);
  save(settings, "settings.png");
  settings->accept();

  ConversionHistoryEntry done;
  done.date = QDateTime::currentDateTime().addSecs(-300);
  done.sourceFileName = "01 Overture.flac";
  done.outputFileName = "01 Overture.mp3";
  done.outputFormat = "MP3";
  done.successful = true;
  done.fileSizeBefore = 31'400'000;
  done.fileSizeAfter = 7'200'000;
  ConversionHistoryEntry failed = done;
  failed.id = Uuid::random();
  failed.date = QDateTime::currentDateTime().addDays(-2);
  failed.sourceFileName = "podcast-episode-42.mp3";
  failed.outputFileName = "podcast-episode-42.opus";
  failed.outputFormat = "Opus";
  failed.successful = false;
  failed.errorMessage = "Cannot read file: podcast-episode-42.mp3";
  failed.fileSizeAfter.reset();
  vm().historyManager().add(failed);
  vm().historyManager().add(done);
  window_->sidebar()->showHistory();
  save(window_->sidebar()->historyView(), "history.png");
  vm().historyManager().clear();
  save(window_->sidebar()->historyView(), "history-empty.png");
}

}  // namespace
}  // namespace vexal::test
