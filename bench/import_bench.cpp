// Import of a dropped folder tree of 10 000 audio files (empty: the pass reads names only).
// Goal: under one second. Usage: import_bench [files]

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <cstdio>
#include <fstream>

#include "orchestration/converter_view_model.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int files = argc > 1 ? std::atoi(argv[1]) : 10'000;
  QTemporaryDir temp;
  const std::filesystem::path root = temp.path().toStdString();
  const std::filesystem::path drop = root / "Library";
  // 10 tracks per album, 10 albums per artist: the shape of a music library.
  for (int i = 0; i < files; ++i) {
    const auto folder =
        drop / ("Artist " + std::to_string(i / 100)) / ("Album " + std::to_string(i / 10 % 10));
    if (i % 10 == 0) std::filesystem::create_directories(folder);
    std::ofstream(folder / ("Track " + std::to_string(i % 10) + ".flac"));
  }

  vexal::ConverterViewModel::Options options;
  options.historyFile = temp.filePath("history.json");
  options.presetsFile = temp.filePath("presets.json");
  options.outputDirectory = temp.filePath("out");
  options.postNotifications = false;
  vexal::ConverterViewModel model(options);

  QElapsedTimer timer;
  timer.start();
  model.importURLs({QString::fromStdString(drop.string())});
  const double firstMs = static_cast<double>(timer.nsecsElapsed()) / 1e6;
  timer.restart();
  model.importURLs({QString::fromStdString(drop.string())});  // every file a duplicate now
  const double againMs = static_cast<double>(timer.nsecsElapsed()) / 1e6;

  std::printf(
      "import of %d files: %zu jobs in %.1f ms (goal < 1000 ms); re-import (all duplicates) %.1f "
      "ms\n",
      files, model.jobs().size(), firstMs, againMs);
  return model.jobs().size() == static_cast<std::size_t>(files) && firstMs < 1000.0 ? 0 : 1;
}
