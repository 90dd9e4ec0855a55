#pragma once

// Shared by the window suites: audio written through the ffmpeg command line and a window
// on a real orchestrator whose stores live in a temp dir.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QWidget>
#include <filesystem>
#include <functional>
#include <memory>

#include "orchestration/orchestration_helpers.h"  // waitFor
#include "support/test_support.h"
#include "ui/content_view.h"

// Readable QString values in failure messages.
inline void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}

namespace vexal::test {

// Writes `frames` frames of a lavfi source ("sine=frequency=440", "anullsrc") into a
// file whose encoder follows the extension.
inline bool writeGenerated(const std::filesystem::path& path, const QString& source,
                           std::int64_t frames, int sampleRate = 44100, int channels = 2,
                           const QStringList& extraArguments = {}) {
  std::filesystem::create_directories(path.parent_path());
  QString input = source;
  input += (source.contains(QLatin1Char('=')) ? QStringLiteral(":") : QStringLiteral("=")) +
           QStringLiteral("sample_rate=%1").arg(sampleRate);
  if (source.startsWith(QStringLiteral("anullsrc"))) {
    input = QStringLiteral("anullsrc=sample_rate=%1:channel_layout=%2")
                .arg(sampleRate)
                .arg(channels == 1 ? QStringLiteral("mono") : QStringLiteral("stereo"));
  }
  QStringList arguments{
      QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"),
      QStringLiteral("error"),        QStringLiteral("-y"),
      QStringLiteral("-f"),           QStringLiteral("lavfi"),
      QStringLiteral("-i"),           input,
      QStringLiteral("-af"),          QStringLiteral("atrim=end_sample=%1").arg(frames),
      QStringLiteral("-ac"),          QString::number(channels)};
  arguments << extraArguments << QString::fromStdString(path.string());
  QProcess ffmpeg;
  ffmpeg.start(QStringLiteral("ffmpeg"), arguments);
  return ffmpeg.waitForFinished(30000) && ffmpeg.exitStatus() == QProcess::NormalExit &&
         ffmpeg.exitCode() == 0;
}

inline bool writeTone(const std::filesystem::path& path, double seconds, int sampleRate = 44100) {
  return writeGenerated(path, QStringLiteral("sine=frequency=440"),
                        static_cast<std::int64_t>(seconds * sampleRate), sampleRate);
}

inline QAction* findAction(QMenu* menu, const QString& text) {
  for (QAction* action : menu->actions()) {
    if (action->text() == text) return action;
  }
  return nullptr;
}

inline QStringList actionTexts(QMenu* menu) {
  QStringList texts;
  for (QAction* action : menu->actions()) {
    // Sections are separators with a title; a plain separator reads "---".
    texts << (action->isSeparator() && action->text().isEmpty() ? QStringLiteral("---")
                                                                : action->text());
  }
  return texts;
}

// A shown window over a real orchestrator; history and presets under a temp folder.
class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(temp_ / "out");
    window_ = std::make_unique<ui::ContentView>(options());
    window_->show();
    window_->activateWindow();
    QApplication::setActiveWindow(window_.get());
    QCoreApplication::processEvents();
  }
  void TearDown() override {
    if (window_ && window_->viewModel().isConverting()) window_->viewModel().cancelConversion();
    window_.reset();
  }

  ConverterViewModel& vm() { return window_->viewModel(); }
  void enable(std::set<OutputFormat> formats) {
    ConversionSettings settings = vm().settings();
    settings.enabledFormats = std::move(formats);
    vm().setSettings(settings);
  }
  QString path(const std::string& name) const {
    return QString::fromStdString((temp_ / name).string());
  }
  ConverterViewModel::Options options(const std::string& prefix = "") const {
    ConverterViewModel::Options result;
    result.historyFile = path(prefix + "history.json");
    result.presetsFile = path(prefix + "presets.json");
    result.outputDirectory = path("out");
    result.postNotifications = false;
    return result;
  }

  TempDir temp_;
  std::unique_ptr<ui::ContentView> window_;
};

}  // namespace vexal::test
