// The window with 10 000 jobs in 1 000 folders. Reports the time from the drop to the
// first painted list, the frame time while scrolling, and the frame time and repaint
// rate while two jobs report progress every millisecond (repaints are coalesced to the
// screen's frame rate). Goals: populate under 1 s, frames under 16 ms.
// Usage: ui_bench [jobs]   (under a display, Xvfb or QT_QPA_PLATFORM=offscreen)

#include <QApplication>
#include <QElapsedTimer>
#include <QScrollBar>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <numeric>
#include <vector>

#include "ui/content_view.h"
#include "ui/file_tree_view.h"
#include "ui/job_list_model.h"

namespace {

// Times every paint of one widget.
class PaintTimer : public QObject {
 public:
  std::vector<double> frames;  // ms
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::Paint || inPaint_) return false;
    inPaint_ = true;
    QElapsedTimer timer;
    timer.start();
    QCoreApplication::sendEvent(watched, event);  // the paint itself, past this filter
    frames.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
    inPaint_ = false;
    return true;
  }

 private:
  bool inPaint_ = false;
};

struct Stats {
  double mean = 0, p95 = 0, max = 0;
};

Stats stats(std::vector<double> values) {
  Stats s;
  if (values.empty()) return s;
  std::sort(values.begin(), values.end());
  s.mean = std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(values.size());
  s.p95 = values[values.size() * 95 / 100];
  s.max = values.back();
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const int count = argc > 1 ? std::atoi(argv[1]) : 10'000;
  QTemporaryDir temp;
  const std::filesystem::path library =
      std::filesystem::path(temp.path().toStdString()) / "Library";
  for (int i = 0; i < count; ++i) {
    const auto folder = library / ("Album " + std::to_string(i / 10));
    if (i % 10 == 0) std::filesystem::create_directories(folder);
    std::ofstream(folder / ("Track " + std::to_string(i % 10) + ".flac"));
  }

  vexal::ConverterViewModel::Options options;
  options.historyFile = temp.filePath("history.json");
  options.presetsFile = temp.filePath("presets.json");
  options.outputDirectory = temp.filePath("out");
  options.postNotifications = false;
  vexal::ui::ContentView window(options);
  window.show();
  QApplication::processEvents();
  auto* tree = window.fileTree();
  PaintTimer painter;
  tree->viewport()->installEventFilter(&painter);

  // Populate: drop a folder, then the first frame of the list.
  QElapsedTimer timer;
  timer.start();
  // Each album folder is its own group: the import pass walks them all.
  QStringList albums;
  for (const auto& entry : std::filesystem::directory_iterator(library))
    albums << QString::fromStdString(entry.path().string());
  window.viewModel().importURLs(albums);
  QApplication::processEvents();
  tree->viewport()->repaint();
  const double populateMs = static_cast<double>(timer.nsecsElapsed()) / 1e6;
  const auto rows = window.jobModel()->rowCount();

  // Scrolling: 400 steps of three rows each through the list, one frame per step.
  painter.frames.clear();
  QScrollBar* bar = tree->verticalScrollBar();
  const int step = std::max(1, bar->maximum() / 400);
  for (int i = 0; i < 400; ++i) {
    bar->setValue(std::min(bar->maximum(), bar->value() + step));
    tree->viewport()->repaint();
  }
  const std::size_t scrollFrames = painter.frames.size();
  const Stats scroll = stats(painter.frames);

  // Two jobs on screen report progress every millisecond for two seconds.
  bar->setValue(0);
  QApplication::processEvents();
  const auto& jobs = window.viewModel().jobs();
  jobs[1]->setStatus(vexal::ConversionStatus::converting());
  jobs[2]->setStatus(vexal::ConversionStatus::converting());
  painter.frames.clear();
  int reports = 0;
  timer.restart();
  while (timer.elapsed() < 2000) {
    const double p = static_cast<double>(timer.elapsed()) / 2000.0;
    jobs[1]->setProgress(p);
    jobs[2]->setProgress(p * 0.7);
    reports += 2;
    QApplication::processEvents(QEventLoop::AllEvents, 1);
    QElapsedTimer wait;
    wait.start();
    while (wait.nsecsElapsed() < 1'000'000) QApplication::processEvents(QEventLoop::AllEvents, 1);
  }
  const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
  const Stats progress = stats(painter.frames);

  std::printf("ui_bench: %zu jobs in %d top-level rows (platform %s)\n", jobs.size(), rows,
              qPrintable(QGuiApplication::platformName()));
  std::printf("  populate (drop to first frame): %.1f ms (goal < 1000 ms)\n", populateMs);
  std::printf("  scrolling: %zu frames, mean %.2f ms, p95 %.2f ms, max %.2f ms (goal < 16 ms)\n",
              scrollFrames, scroll.mean, scroll.p95, scroll.max);
  std::printf(
      "  2 jobs reporting: %d reports in %.1f s -> %zu repaints (%.0f/s), frame mean %.2f ms, p95 "
      "%.2f ms, max %.2f ms\n",
      reports, seconds, painter.frames.size(), static_cast<double>(painter.frames.size()) / seconds,
      progress.mean, progress.p95, progress.max);
  const bool ok = populateMs < 1000.0 && scroll.p95 < 16.0 && progress.p95 < 16.0;
  return ok ? 0 : 1;
}
