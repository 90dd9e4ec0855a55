#pragma once

// What vexal-cli prints: names and tags made safe for a terminal, and a batch as a live
// line, a line per file, errors only, or JSON events.

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <filesystem>
#include <unordered_set>
#include <thread>
#include <utility>

#include "app/cli_progress.h"
#include "model/conversion_job.h"

namespace vexal {

class ConverterViewModel;
class ConversionPreset;

void printErr(const QString& text);
void printOut(const QString& text);
void printJson(const QJsonObject& event);
// Text from file names and tags as a terminal may show it: control characters (C0, DEL,
// C1) and bidirectional overrides and isolates are escaped so they cannot move the
// cursor, recolour or reverse the line; bytes that were not UTF-8 read as U+FFFD.
QString shown(const QString& text);
QString shownPath(const std::filesystem::path& path);
QString presetLine(const ConversionPreset& preset, bool builtIn);

// A batch of the view model as the chosen mode reports it.
class BatchReport {
 public:
  // live: one line redrawn on a terminal's stderr; lines: a line per file on stdout;
  // quiet: errors and the final count; json: one JSON object per event on stdout.
  enum class Mode { live, lines, quiet, json };

  BatchReport(Mode mode, const ConverterViewModel& model) : mode_(mode), model_(model) {}

  Mode mode() const { return mode_; }
  // Batch text on stdout, none of it with --json or --quiet.
  void say(const QString& text) const {
    if (mode_ == Mode::live || mode_ == Mode::lines) printOut(text);
  }
  // Something given or met in a folder that is not converted; `path` as given.
  void warn(const QString& path, const QString& reason);
  // The live line's width: the terminal's columns, 0 when unknown.
  void setColumns(int columns) { columns_ = columns; }
  // The batch's wall time starts; the sources' lengths are read on a thread of their
  // own and handed to the meter through `context`'s event loop.
  void startMeasuring(QObject* context);
  void showProgress();
  void clearProgressLine();
  // Leaves a shown live line standing and moves below it.
  void endProgressLine();
  void reportProgress();
  void reportJobStatus(const ConversionJob& job);
  void printSummary();
  // `failed` and `completed` need not add up to `total`: cancelled files are neither.
  void printBatchEnd(int completed, int failed, int total, int upToDate = 0);
  // Jobs that failed or were up to date since the last call: one watched batch's share.
  struct Counts {
    int failed = 0;
    int upToDate = 0;
  };
  Counts takeCounts() { return std::exchange(sinceBatchEnd_, {}); }

 private:
  Mode mode_;
  const ConverterViewModel& model_;
  bool progressShown_ = false;
  int columns_ = 0;
  Counts sinceBatchEnd_;
  std::unordered_set<Uuid> started_;
  std::unordered_set<Uuid> reported_;
  ProgressMeter meter_;
  // Reads the sources' lengths for the speed, off the main thread; stops with the report.
  std::jthread lengthReader_;
};

}  // namespace vexal
