// vexal-cli: the orchestrator without a window, for scripts and headless machines.
// Imports files, folders and cue sheets through the same pass as the window and runs one
// batch (or keeps converting what appears in a watched folder).

#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QTimer>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>

#include "app/cli_options.h"
#include "app/cli_report.h"
#include "app/cli_terminal.h"
#include "app/command_parser.h"
#include "orchestration/converter_view_model.h"
#include "orchestration/termination_signals.h"
#include "persistence/conversion_history.h"
#include "persistence/preset_manager.h"
#include "sources/path_text.h"
#include "sources/watch_folder_service.h"

namespace vexal {
namespace {

constexpr int kExitCompleted = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;  // 128 + SIGINT, as shells report it
constexpr int kProgressIntervalMs = 200;

class CommandLine {
 public:
  int run(QCoreApplication& app, int argc, char** argv);

 private:
  // What --sync did besides converting (adopted, removed, copied), once the batch ended.
  void finishMirroring();
  void reportAction(const MirrorAction& action);
  void say(const QString& text) const { report_->say(text); }
  int exitStatus() const;
  void handleSignal(int signal);

  QCommandLineParser parser_;
  std::unique_ptr<ConverterViewModel> model_;
  std::unique_ptr<BatchReport> report_;  // destroyed first: its length reader uses model_
  QCoreApplication* app_ = nullptr;
  BatchReport::Mode mode_ = BatchReport::Mode::lines;
  bool watching_ = false;
  bool interrupted_ = false;
  bool mirrorFailed_ = false;  // a companion not copied
  bool dryRun_ = false;
  bool skippedInput_ = false;  // a path given was missing, or an entry was not importable
  int shardIndex_ = 0;         // 0-based
  int shardCount_ = 1;
};

void CommandLine::finishMirroring() {
  const MirrorReport& report = model_->mirrorReport();
  const auto did = [this](const char* done, const char* wouldDo) {
    return dryRun_ ? QString::fromLatin1(wouldDo) : QString::fromLatin1(done);
  };
  if (report.adopted > 0)
    say(QStringLiteral("Adopted %1 existing output(s) the index did not know.").arg(report.adopted));
  if (report.cleanup.removed > 0) {
    say(QStringLiteral("%1 %2 output(s) whose source is gone.")
            .arg(did("Removed", "Would remove"))
            .arg(report.cleanup.removed));
  }
  for (const auto& kept : report.cleanup.kept) {
    printErr(QStringLiteral("vexal-cli: kept %1: its source is gone but it changed since it "
                            "was converted")
                 .arg(shownPath(kept)));
  }
  const CompanionReport& companions = report.companions;
  if (companions.copied > 0)
    say(QStringLiteral("%1 %2 companion file(s).").arg(did("Copied", "Would copy")).arg(companions.copied));
  if (companions.updated > 0)
    say(QStringLiteral("%1 %2 companion file(s).").arg(did("Updated", "Would update")).arg(companions.updated));
  for (const auto& conflict : companions.conflicts) {
    printErr(QStringLiteral("vexal-cli: not copied over %1: a different file is there")
                 .arg(shownPath(conflict)));
  }
  for (const QString& error : companions.errors) {
    printErr(QStringLiteral("vexal-cli: cannot copy %1").arg(shown(error)));
    mirrorFailed_ = true;
  }
}

void CommandLine::reportAction(const MirrorAction& action) {
  if (mode_ == BatchReport::Mode::json) {
    printJson({{"event", "action"},
               {"action", QString::fromUtf8(actionText(action.kind))},
               {"reason", QString::fromUtf8(reasonText(action.reason))},
               {"source", pathToQString(action.source)},
               {"output", pathToQString(action.output)},
               {"dryRun", dryRun_}});
    return;
  }
  if (!dryRun_) return;  // a real run reports its files as they finish
  printOut(QStringLiteral("%1 %2 -> %3 (%4)")
               .arg(QString::fromUtf8(actionText(action.kind)), shownPath(action.source),
                    shownPath(action.output), QString::fromUtf8(reasonText(action.reason))));
}

int CommandLine::exitStatus() const {
  if (interrupted_) return kExitInterrupted;
  if (mirrorFailed_ || skippedInput_) return kExitFailed;
  for (const auto& job : model_->jobs()) {
    const auto kind = job->status().kind();
    if (kind != ConversionStatus::Kind::completed && kind != ConversionStatus::Kind::skipped)
      return kExitFailed;
  }
  return kExitCompleted;
}

void CommandLine::handleSignal(int signal) {
  if (signal == SIGWINCH) {
    if (mode_ != BatchReport::Mode::live) return;
    report_->setColumns(terminalColumns(STDERR_FILENO));
    report_->showProgress();
    return;
  }
  if (interrupted_) return;
  interrupted_ = true;
  report_->endProgressLine();
  printErr(QStringLiteral("Interrupted: cancelling the conversion."));
  model_->watchFolderService().stopWatching();
  model_->cancelConversion();
  // Partial outputs are removed on the workers; leave once they have all ended.
  if (model_->activeWorkerCount() == 0) {
    report_->printSummary();
    app_->exit(kExitInterrupted);
  }
}

int CommandLine::run(QCoreApplication& app, int argc, char** argv) {
  app_ = &app;
  addOptions(parser_);
  const auto usage = [](const QString& message) {
    printErr(
        QStringLiteral("vexal-cli: %1\nTry 'vexal-cli --help' for more information.").arg(message));
    return kExitUsage;
  };
  // Arguments are taken as bytes: a file name that is not UTF-8 still names its file.
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << pathToQString(argv[i]);
  if (!parser_.parse(arguments)) return usage(parser_.errorText());
  if (parser_.isSet("help")) {
    std::fputs(parser_.helpText().toLocal8Bit().constData(), stdout);
    return kExitCompleted;
  }
  if (parser_.isSet("version")) {
    printOut(versionLine(commandLineToolDescription()));
    return kExitCompleted;
  }

  if (parser_.isSet("json")) {
    mode_ = BatchReport::Mode::json;
  } else if (parser_.isSet("quiet")) {
    mode_ = BatchReport::Mode::quiet;
  } else if (::isatty(STDERR_FILENO) == 1) {
    mode_ = BatchReport::Mode::live;
  }

  ConverterViewModel::Options options;
  options.postNotifications = false;
  if (parser_.isSet("output")) {
    const QString folder = parser_.value("output");
    if (folder.trimmed().isEmpty()) return usage(QStringLiteral("--output needs a folder"));
    options.outputDirectory = QFileInfo(folder).absoluteFilePath();
  }
  model_ = std::make_unique<ConverterViewModel>(options);
  report_ = std::make_unique<BatchReport>(mode_, *model_);
  QObject::connect(model_.get(), &ConverterViewModel::mirrorWarning, [](const QString& message) {
    printErr(QStringLiteral("vexal-cli: warning: ") + shown(message));
  });
  QObject::connect(model_.get(), &ConverterViewModel::mirrorWaiting, [](const QString& folder) {
    printErr(QStringLiteral("vexal-cli: waiting for another run into %1 to finish").arg(shown(folder)));
  });
  QObject::connect(model_.get(), &ConverterViewModel::mirrorAction,
                   [this](const MirrorAction& action) { reportAction(action); });
  QObject::connect(&model_->historyManager(), &ConversionHistoryManager::saveFailed,
                   [](const QString& message) { printErr(QStringLiteral("vexal-cli: warning: ") + message); });
  QDir().mkpath(model_->outputDirectory());

  ConversionSettings settings;
  if (auto error = buildSettings(parser_, model_->presetManager(), settings))
    return usage(error->message);
  if (auto error = readShard(parser_, shardIndex_, shardCount_)) return usage(error->message);
  int jobs = 0;  // the cores this process may use
  if (auto error = readJobs(parser_, jobs)) return usage(error->message);
  model_->setConcurrencyLimit(jobs);
  if (parser_.isSet("delete") && !parser_.isSet("sync"))
    return usage(QStringLiteral("--delete needs --sync (only outputs the index recorded are removed)"));
  if (parser_.isSet("copy") && !parser_.isSet("sync"))
    return usage(QStringLiteral("--copy needs --sync (copies are recorded in the index, so they can be updated and removed)"));
  dryRun_ = parser_.isSet("dry-run");
  if (dryRun_ && !parser_.isSet("sync"))
    return usage(QStringLiteral("--dry-run needs --sync (it shows what a mirroring run would do)"));
  model_->setMirrorOptions({dryRun_, parser_.isSet("delete"), parser_.isSet("copy"), shardIndex_,
                            shardCount_});
  model_->setSettings(settings);

  const QStringList paths = parser_.positionalArguments();
  const bool listing = parser_.isSet("list-presets") || parser_.isSet("history");
  if (parser_.isSet("watch")) {
    const QFileInfo folder(parser_.value("watch"));
    if (!folder.isDir()) {
      return usage(
          QStringLiteral("'%1' given to --watch is not a folder").arg(parser_.value("watch")));
    }
    // Outputs written into the watched folder would be picked up and converted again.
    if (QFileInfo(model_->outputDirectory()).canonicalFilePath() == folder.canonicalFilePath()) {
      return usage(QStringLiteral("the folder given to --watch must not be the output folder"));
    }
    watching_ = true;
  }
  if ((!paths.isEmpty() || watching_) && settings.enabledFormats.empty()) {
    return usage(QStringLiteral("no output format: give --format or --preset"));
  }

  if (parser_.isSet("save-preset")) {
    const QString name = parser_.value("save-preset").trimmed();
    if (name.isEmpty()) return usage(QStringLiteral("--save-preset needs a name"));
    if (const auto saved = model_->presetManager().add(ConversionPreset(name, settings)); !saved) {
      printErr(QStringLiteral("vexal-cli: preset \"%1\" not saved: %2").arg(name, saved.error()));
      return kExitFailed;
    }
    say(QStringLiteral("Saved preset \"%1\".").arg(name));
  }
  if (parser_.isSet("list-presets")) {
    // With --quiet the names alone, as shell completions read them.
    const bool namesOnly = mode_ == BatchReport::Mode::quiet;
    for (const auto& preset : builtInPresets())
      printOut(namesOnly ? shown(preset.name) : presetLine(preset, true));
    for (const auto& preset : model_->presetManager().presets())
      printOut(namesOnly ? shown(preset.name) : presetLine(preset, false));
  }
  if (parser_.isSet("history")) {
    for (const auto& entry : model_->historyManager().entries()) {
      printOut(QStringLiteral("%1  %2 -> %3  %4  %5")
                   .arg(entry.date.toLocalTime().toString(Qt::ISODate), shown(entry.sourcePath),
                        shown(entry.outputPath), entry.outputFormat,
                        entry.successful
                            ? QStringLiteral("ok")
                            : QStringLiteral("failed: ") + shown(entry.errorMessage.value_or(QString()))));
    }
  }
  if (paths.isEmpty() && !watching_) {
    if (listing || parser_.isSet("save-preset")) return kExitCompleted;
    return usage(QStringLiteral("no input: give files, folders or cue sheets to convert"));
  }

  QObject::connect(model_.get(), &ConverterViewModel::importSkipped,
                   [this](const QString& path, const QString& reason) {
                     report_->warn(path, reason);
                     skippedInput_ = true;
                   });
  model_->openMirrorAhead();  // the index loads while the folders are walked
  model_->importURLs(paths);
  if (model_->jobs().empty() && !watching_) {
    printErr(QStringLiteral("vexal-cli: no audio files or cue sheets found"));
    return kExitFailed;
  }
  // A shard may hold nothing; it still runs, so that its --delete part is done.
  const bool sharded = shardCount_ > 1;
  if (sharded) model_->keepShard(shardIndex_, shardCount_);

  // Ctrl-C and termination cancel the batch as the Cancel button does; a terminal that
  // changes size redraws the live line to its new width.
  TerminationSignals termination({SIGINT, SIGTERM, SIGWINCH});
  if (!termination.isInstalled()) {
    printErr(QStringLiteral("vexal-cli: cannot install the interrupt handler"));
    return kExitFailed;
  }
  QObject::connect(&termination, &TerminationSignals::received, [this](int signal) { handleSignal(signal); });
  if (mode_ == BatchReport::Mode::live) report_->setColumns(terminalColumns(STDERR_FILENO));

  QTimer progressTimer;
  QObject::connect(&progressTimer, &QTimer::timeout, [this] { report_->showProgress(); });
  if (mode_ == BatchReport::Mode::live) progressTimer.start(kProgressIntervalMs);

  QObject::connect(model_.get(), &ConverterViewModel::jobChanged,
                   [this](const Uuid& id, ConversionJob::Field field) {
                     if (field == ConversionJob::Field::progress) {
                       report_->reportProgress();
                     } else if (field == ConversionJob::Field::status) {
                       if (const auto job = model_->job(id)) report_->reportJobStatus(*job);
                     }
                   });
  QObject::connect(model_.get(), &ConverterViewModel::batchFinished,
                   [this](int completed, int total) {
                     if (interrupted_) return;
                     if (dryRun_) {
                       finishMirroring();
                       const int upToDate = static_cast<int>(model_->jobs().size()) - total;
                       if (mode_ != BatchReport::Mode::json)
                         printOut(QStringLiteral("Dry run: nothing was changed; %1 file(s) up to date.")
                                      .arg(upToDate));
                       app_->exit(kExitCompleted);
                       return;
                     }
                     if (!watching_) {
                       finishMirroring();
                       report_->printSummary();
                       app_->exit(exitStatus());
                       return;
                     }
                     const BatchReport::Counts counts = report_->takeCounts();
                     report_->printBatchEnd(completed, counts.failed, total, counts.upToDate);
                     // Files that appeared while this batch ran wait for no further event.
                     QTimer::singleShot(0, model_.get(), [this] {
                       if (!model_->isConverting() && model_->remainingCount() > 0)
                         model_->startConversion();
                     });
                   });
  QObject::connect(model_.get(), &ConverterViewModel::workersIdle, [this] {
    if (!interrupted_) return;
    report_->printSummary();
    app_->exit(kExitInterrupted);
  });

  if (watching_) {
    const QString folder = QFileInfo(parser_.value("watch")).absoluteFilePath();
    model_->watchFolderService().startWatching(folder);
    say(QStringLiteral("Watching %1 (Ctrl-C to stop).").arg(folder));
  }
  if (!model_->jobs().empty() || sharded) {
    report_->startMeasuring(app_);
    model_->startConversion();
    report_->showProgress();  // at once, not a tick later
  }
  const int status = app.exec();
  report_.reset();
  model_.reset();  // waits for workers and writes the history
  return status;
}

}  // namespace
}  // namespace vexal

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("vexal-cli"));
  vexal::CommandLine commandLine;
  return commandLine.run(app, argc, argv);
}