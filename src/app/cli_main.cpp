// vexal-cli: the orchestrator without a window, for scripts and headless machines.
// Imports files, folders and cue sheets through the same pass as the window and runs one
// batch (or keeps converting what appears in a watched folder).

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <thread>

#include "app/cli_progress.h"
#include "engine/audio_file_info.h"
#include "model/output_format.h"
#include "orchestration/converter_view_model.h"
#include "sources/path_text.h"
#include "persistence/conversion_history.h"
#include "persistence/preset_manager.h"
#include "sources/watch_folder_service.h"

namespace vexal {
namespace {

constexpr int kExitCompleted = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;  // 128 + SIGINT, as shells report it
constexpr int kProgressIntervalMs = 200;
// Progress events of --json, at most ten a second.
constexpr std::chrono::milliseconds kJsonProgressInterval{100};
constexpr int kMaxCurrentNamesChars = 40;

// Written by the signal handler, read through a socket notifier on the main thread.
int gSignalPipe[2] = {-1, -1};

void onSignal(int) {
  const char byte = 1;
  // Nothing else is async-signal-safe here; a full pipe just drops the repeat.
  [[maybe_unused]] const auto written = ::write(gSignalPipe[1], &byte, 1);
}

void printErr(const QString& text) {
  std::fputs(text.toLocal8Bit().constData(), stderr);
  std::fputc('\n', stderr);
}

void printOut(const QString& text) {
  std::fputs(text.toLocal8Bit().constData(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// Text from file names and tags as a terminal may show it: control characters (C0, DEL,
// C1) and bidirectional overrides and isolates are escaped so they cannot move the
// cursor, recolour or reverse the line; bytes that were not UTF-8 read as U+FFFD.
QString shown(const QString& text) {
  QString out;
  out.reserve(text.size());
  for (qsizetype i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i].unicode();
    if (QChar::isHighSurrogate(unit) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
      out += text[i];
      out += text[++i];
    } else if (QChar::isSurrogate(unit)) {
      out += QChar(QChar::ReplacementCharacter);
    } else if (unit < 0x20 || (unit >= 0x7F && unit <= 0x9F)) {
      out += QStringLiteral("\\x%1").arg(static_cast<int>(unit), 2, 16, QLatin1Char('0'));
    } else if ((unit >= 0x202A && unit <= 0x202E) || (unit >= 0x2066 && unit <= 0x2069)) {
      out += QStringLiteral("\\u%1").arg(static_cast<int>(unit), 4, 16, QLatin1Char('0'));
    } else {
      out += text[i];
    }
  }
  return out;
}

QString shownPath(const std::filesystem::path& path) { return shown(pathToQString(path)); }

struct UsageError {
  QString message;
};

// Reads a number option within [min, max]; the message names the option and the value.
std::optional<UsageError> readNumber(const QCommandLineParser& parser, const QString& name,
                                     double min, double max, const QString& unit,
                                     const std::function<void(double)>& apply) {
  if (!parser.isSet(name)) return std::nullopt;
  const QString text = parser.value(name);
  bool ok = false;
  const double value = text.trimmed().toDouble(&ok);
  if (!ok || !std::isfinite(value) || value < min || value > max) {
    return UsageError{QStringLiteral("invalid value '%1' for --%2 (expected %3 from %4 to %5)")
                          .arg(text, name, unit, QString::number(min), QString::number(max))};
  }
  apply(value);
  return std::nullopt;
}

std::optional<UsageError> readChoice(const QCommandLineParser& parser, const QString& name,
                                     const QStringList& choices,
                                     const std::function<void(qsizetype)>& apply) {
  if (!parser.isSet(name)) return std::nullopt;
  const QString text = parser.value(name).trimmed().toLower();
  const qsizetype index = choices.indexOf(text);
  if (index < 0) {
    return UsageError{QStringLiteral("invalid value '%1' for --%2 (expected one of %3)")
                          .arg(parser.value(name), name, choices.join(QStringLiteral(", ")))};
  }
  apply(index);
  return std::nullopt;
}

QString formatList(const std::set<OutputFormat>& formats) {
  QStringList names;
  for (OutputFormat format : orderedByRawValue(formats))
    names << QString::fromUtf8(rawValue(format));
  return names.isEmpty() ? QStringLiteral("(no format)") : names.join(QLatin1Char(','));
}

QString presetLine(const ConversionPreset& preset, bool builtIn) {
  const ConversionSettings settings = preset.toSettings();
  QString line = QStringLiteral("%1%2  formats %3")
                     .arg(preset.name, builtIn ? QStringLiteral(" (built-in)") : QString(),
                          formatList(settings.enabledFormats));
  if (settings.customBitrate)
    line += QStringLiteral(", %1 kbit/s").arg(*settings.customBitrate / 1000);
  for (const auto& [format, bitrate] : settings.formatBitrates)
    line += QStringLiteral(", %1 %2 kbit/s").arg(QString::fromUtf8(rawValue(format))).arg(bitrate / 1000);
  if (settings.normalizationMode != NormalizationMode::off) {
    line += QStringLiteral(", normalize %1 %2")
                .arg(QString::fromUtf8(rawValue(settings.normalizationMode)))
                .arg(settings.normalizationTarget);
  }
  return line;
}

// "1:05" or "2:01:05".
QString clockText(double seconds) {
  const auto whole = static_cast<long long>(std::llround(std::max(0.0, seconds)));
  const QString minutesAndSeconds =
      QStringLiteral("%1:%2")
          .arg(whole / 60 % 60, whole >= 3600 ? 2 : 1, 10, QLatin1Char('0'))
          .arg(whole % 60, 2, 10, QLatin1Char('0'));
  return whole >= 3600 ? QStringLiteral("%1:%2").arg(whole / 3600).arg(minutesAndSeconds)
                       : minutesAndSeconds;
}

void printJson(const QJsonObject& event) {
  std::fputs(QJsonDocument(event).toJson(QJsonDocument::Compact).constData(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// A job's source as scripts see it; a cue track adds its title.
QJsonObject jobEvent(const char* name, const ConversionJob& job) {
  QJsonObject event{{"event", QString::fromLatin1(name)},
                    {"source", pathToQString(job.sourceURL())}};
  if (job.trackTitle()) event.insert("track", QString::fromStdString(*job.trackTitle()));
  return event;
}

QString jobName(const ConversionJob& job) {
  if (job.trackTitle()) return shown(QString::fromStdString(*job.trackTitle()));
  return shownPath(job.sourceURL().filename());
}

class CommandLine {
 public:
  int run(QCoreApplication& app, int argc, char** argv);

 private:
  std::optional<UsageError> buildSettings(ConversionSettings& settings);
  void addOptions();
  void showProgress();
  void reportJobStatus(const ConversionJob& job);
  void reportProgress();
  void printSummary();
  // `failed` and `completed` need not add up to `total`: cancelled files are neither.
  void printBatchEnd(int completed, int failed, int total, int upToDate = 0);
  // --delete and --copy, once the batch has ended.
  void finishMirroring();
  std::optional<UsageError> readShard();
  void clearProgressLine();
  void startMeasuring();
  // Batch text on stdout, none of it in --json mode.
  void say(const QString& text) const {
    if (mode_ != Mode::json) printOut(text);
  }
  int exitStatus() const;
  void handleSignal();

  QCommandLineParser parser_;
  std::unique_ptr<ConverterViewModel> model_;
  QCoreApplication* app_ = nullptr;
  // live: one line redrawn on a terminal's stderr; lines: a line per file on stdout;
  // quiet: errors and the final count; json: one JSON object per event on stdout.
  enum class Mode { live, lines, quiet, json };
  Mode mode_ = Mode::lines;
  bool watching_ = false;
  bool interrupted_ = false;
  bool progressShown_ = false;
  bool mirrorFailed_ = false;  // index not saved, or a companion not copied
  int shardIndex_ = 0;         // 0-based
  int shardCount_ = 1;
  std::set<Uuid> started_;
  std::set<Uuid> reported_;
  ProgressMeter meter_;
  // Reads the sources' lengths for the speed, off the main thread; stops with the tool.
  std::jthread lengthReader_;
};

void CommandLine::addOptions() {
  parser_.setApplicationDescription(
      QStringLiteral("Converts audio files, folders and cue sheets into one or more formats.\n"
                     "Exit status: 0 when every file converted, 1 when any failed, 2 for a usage "
                     "error, 130 when interrupted."));
  parser_.addHelpOption();
  parser_.addPositionalArgument(QStringLiteral("PATH"),
                                QStringLiteral("Audio files, folders or cue sheets to convert."),
                                QStringLiteral("PATH..."));
  const auto valueOption = [this](const QString& name, const QString& help, const QString& value) {
    parser_.addOption(QCommandLineOption(name, help, value));
  };
  const auto flagOption = [this](const QString& name, const QString& help) {
    parser_.addOption(QCommandLineOption(name, help));
  };
  valueOption("format", "Output formats, comma-separated: aac,alac,flac,wav,aiff,mp3,opus,vorbis.",
              "LIST");
  valueOption("output", "Destination folder (default: the Music folder).", "DIR");
  valueOption("preset", "Start from a built-in or saved preset; other options override it.",
              "NAME");
  valueOption("bitrate", "Bitrate of lossy formats in kbit/s.", "KBPS");
  valueOption("mp3-mode", "MP3 bitrate mode: cbr or vbr.", "MODE");
  valueOption("vbr-quality", "MP3 VBR quality: 0, 2, 4, 6 or 8.", "Q");
  valueOption("aac-mode", "AAC strategy: cbr, vbr-low, vbr-medium or vbr-high.", "MODE");
  valueOption("sample-rate", "Output sample rate in Hz.", "HZ");
  valueOption("channels", "Output channels: 1 or 2.", "N");
  valueOption("bit-depth",
              "WAV, AIFF, FLAC, ALAC: default, original, 16 (dithered), 24 or float (WAV).", "DEPTH");
  valueOption("normalize", "Normalise: peak, rms or lufs.", "MODE");
  valueOption("target", "Normalisation target in dB (LUFS for lufs).", "DB");
  valueOption("true-peak-ceiling",
              "Normalised true peak at most this (default -1; a missed target is logged).", "DBTP");
  flagOption("limiter",
             "With --normalize rms or lufs: a look-ahead limiter holds the ceiling and the target is met.");
  flagOption("trim-silence", "Trim leading and trailing silence.");
  valueOption("silence-threshold", "Silence threshold in dBFS.", "DB");
  valueOption("fade-in", "Fade-in length in seconds.", "S");
  valueOption("fade-out", "Fade-out length in seconds.", "S");
  valueOption("template",
              "Naming template, e.g. \"{artist}/{album}/{track} - {title}\"; {format} (\"FLAC\", "
              "\"AAC\") and {ext} keep formats apart.",
              "TEXT");
  flagOption("no-metadata", "Do not carry tags and artwork into the outputs.");
  flagOption("replaygain",
             "Write ReplayGain 2.0 tags measured on each output (BS.1770, -18 LUFS reference): "
             "REPLAYGAIN_TRACK_GAIN/PEAK, and REPLAYGAIN_ALBUM_GAIN/PEAK over the tracks of one "
             "album (one cue sheet, or one folder's files with the same album tag) once all of "
             "them succeeded; Opus gets R128_TRACK_GAIN/R128_ALBUM_GAIN (-23 LUFS), WAV and AIFF "
             "nothing.");
  flagOption("album-by-folder",
             "With --replaygain: each source folder is one album, album tags or not.");
  flagOption("verify", "Decode every output once more to check it.");
  valueOption("watch", "Keep watching DIR and convert what appears in it, until interrupted.",
              "DIR");
  valueOption("save-preset", "Save the resulting settings as a preset named NAME.", "NAME");
  flagOption("quiet",
             "Print only errors (on stderr) and the final count: no live line, no line per file.");
  flagOption("json",
             "Print one JSON object per line on stdout for each event instead of text: "
             "{\"event\":\"started\"|\"progress\"|\"finished\"|\"summary\", ...}. "
             "Progress at most 10 times a second.");
  flagOption("sync",
             "Mirror the sources into the output folder: files converted before with the same "
             "settings and unchanged since are skipped, changed ones replace their own earlier "
             "outputs (an index is kept in the output folder as .vexal-index.json).");
  flagOption("delete",
             "With --sync: remove outputs the index recorded whose source is gone (files "
             "changed since they were written are kept and named).");
  flagOption("copy",
             "Copy cover.jpg, folder.jpg, *.png, *.pdf, *.cue and *.log from each source folder "
             "beside its outputs, never replacing a different file.");
  valueOption("shard",
              "Convert only part K of N (1 <= K <= N) of the sources, split by a stable hash of "
              "each source's path below the folder given; N runs together convert everything "
              "once.",
              "K/N");
  flagOption("list-presets", "List the built-in and saved presets.");
  flagOption("history", "List the conversion history.");
}

std::optional<UsageError> CommandLine::buildSettings(ConversionSettings& settings) {
  if (parser_.isSet("preset")) {
    const auto preset = model_->presetManager().find(parser_.value("preset").trimmed());
    if (!preset) {
      return UsageError{QStringLiteral("unknown preset '%1' for --preset (see --list-presets)")
                            .arg(parser_.value("preset"))};
    }
    settings = preset->toSettings();
  }
  if (parser_.isSet("format")) {
    settings.enabledFormats.clear();
    for (const QString& piece :
         parser_.value("format").split(QLatin1Char(','), Qt::SkipEmptyParts)) {
      const auto format = outputFormatFromRaw(piece.trimmed().toLower().toStdString());
      if (!format) {
        return UsageError{
            QStringLiteral("invalid format '%1' for --format (expected aac, alac, flac, "
                           "wav, aiff, mp3, opus or vorbis)")
                .arg(piece.trimmed())};
      }
      settings.enabledFormats.insert(*format);
    }
    if (settings.enabledFormats.empty()) {
      return UsageError{QStringLiteral("--format needs at least one format")};
    }
  }
  std::optional<UsageError> error;
  const auto check = [&](std::optional<UsageError> result) {
    if (!error && result) error = std::move(result);
  };
  check(readNumber(parser_, "bitrate", 6, 640, "kbit/s",
                   [&](double v) {
                     // One bitrate for every lossy format, overriding a preset's per-format ones.
                     settings.customBitrate = std::llround(v * 1000.0);
                     settings.formatBitrates.clear();
                   }));
  check(readChoice(parser_, "mp3-mode", {"cbr", "vbr"}, [&](qsizetype i) {
    settings.bitrateMode = kAllBitrateModes[static_cast<std::size_t>(i)];
  }));
  check(readChoice(parser_, "vbr-quality", {"0", "2", "4", "6", "8"}, [&](qsizetype i) {
    settings.vbrQuality = kAllVBRQualities[static_cast<std::size_t>(i)];
  }));
  check(readChoice(
      parser_, "aac-mode", {"cbr", "vbr-low", "vbr-medium", "vbr-high"},
      [&](qsizetype i) { settings.aacStrategy = kAllAACStrategies[static_cast<std::size_t>(i)]; }));
  check(readNumber(parser_, "sample-rate", 1000, 768000, "Hz",
                   [&](double v) { settings.customSampleRate = v; }));
  check(readChoice(parser_, "channels", {"1", "2"}, [&](qsizetype i) {
    settings.customChannels = static_cast<std::uint32_t>(i + 1);
  }));
  check(readChoice(parser_, "normalize", {"peak", "rms", "lufs"}, [&](qsizetype i) {
    settings.normalizationMode = kAllNormalizationModes[static_cast<std::size_t>(i) + 1];
  }));
  check(readNumber(parser_, "target", -70, 0, "dB",
                   [&](double v) { settings.normalizationTarget = v; }));
  check(readNumber(parser_, "true-peak-ceiling", -20, 0, "dBTP",
                   [&](double v) { settings.truePeakCeiling = v; }));
  if (parser_.isSet("limiter")) settings.truePeakLimiter = true;
  check(readChoice(parser_, "bit-depth", {"default", "original", "16", "24", "float"}, [&](qsizetype i) {
    settings.bitDepth = kAllBitDepths[static_cast<std::size_t>(i)];
  }));
  if (parser_.isSet("trim-silence")) settings.trimSilence = true;
  check(readNumber(parser_, "silence-threshold", -120, 0, "dBFS",
                   [&](double v) { settings.silenceThresholdDB = v; }));
  check(readNumber(parser_, "fade-in", 0, 3600, "seconds",
                   [&](double v) { settings.fadeInSeconds = v; }));
  check(readNumber(parser_, "fade-out", 0, 3600, "seconds",
                   [&](double v) { settings.fadeOutSeconds = v; }));
  if (parser_.isSet("template")) {
    const QString text = parser_.value("template");
    if (text.trimmed().isEmpty())
      return UsageError{QStringLiteral("--template needs a non-empty text")};
    settings.namingTemplate.templateText = text.toStdString();
  }
  if (parser_.isSet("no-metadata")) settings.preserveMetadata = false;
  if (parser_.isSet("replaygain")) settings.writeReplayGain = true;
  if (parser_.isSet("album-by-folder")) settings.albumByFolder = true;
  if (parser_.isSet("verify")) settings.verifyAfterConversion = true;
  if (parser_.isSet("sync")) settings.skipConverted = true;
  return error;
}

std::optional<UsageError> CommandLine::readShard() {
  if (!parser_.isSet("shard")) return std::nullopt;
  const QString text = parser_.value("shard").trimmed();
  const qsizetype slash = text.indexOf(QLatin1Char('/'));
  bool okIndex = false, okCount = false;
  const int index = text.left(slash).toInt(&okIndex);
  const int count = text.mid(slash + 1).toInt(&okCount);
  if (slash < 0 || !okIndex || !okCount || count < 1 || index < 1 || index > count) {
    return UsageError{QStringLiteral("invalid value '%1' for --shard (expected K/N with 1 <= K <= N, "
                                     "e.g. 2/8)")
                          .arg(parser_.value("shard"))};
  }
  shardIndex_ = index - 1;
  shardCount_ = count;
  return std::nullopt;
}

void CommandLine::finishMirroring() {
  if (parser_.isSet("delete")) {
    const auto cleanup = model_->removeOrphanedOutputs(shardIndex_, shardCount_);
    if (cleanup.removed > 0)
      say(QStringLiteral("Removed %1 output(s) whose source is gone.").arg(cleanup.removed));
    for (const auto& kept : cleanup.kept) {
      printErr(QStringLiteral("vexal-cli: kept %1: its source is gone but it changed since it "
                              "was converted")
                   .arg(shownPath(kept)));
    }
  }
  if (parser_.isSet("copy")) {
    const CompanionReport report = model_->copyCompanionFiles();
    if (report.copied > 0) say(QStringLiteral("Copied %1 companion file(s).").arg(report.copied));
    for (const auto& conflict : report.conflicts) {
      printErr(QStringLiteral("vexal-cli: not copied over %1: a different file is there")
                   .arg(shownPath(conflict)));
    }
    for (const QString& error : report.errors) {
      printErr(QStringLiteral("vexal-cli: cannot copy %1").arg(shown(error)));
      mirrorFailed_ = true;
    }
  }
}

void CommandLine::showProgress() {
  if (mode_ != Mode::live || !model_->isConverting()) return;
  QStringList current;
  for (const auto& job : model_->jobs()) {
    if (job->status().kind() == ConversionStatus::Kind::converting) current << jobName(*job);
  }
  QString names = current.join(QStringLiteral(", "));
  if (names.size() > kMaxCurrentNamesChars)
    names = names.left(kMaxCurrentNamesChars - 1) + QChar(0x2026);
  const ProgressSnapshot now =
      meter_.measure(model_->jobs(), model_->settings().enabledFormats.size());
  QString line = QStringLiteral("[%1%] %2/%3 files done, %4 running")
                     .arg(static_cast<int>(now.fraction * 100.0), 3)
                     .arg(now.done)
                     .arg(now.total)
                     .arg(now.running);
  if (now.speed) line += QStringLiteral(", %1\u00d7 real time").arg(*now.speed, 0, 'f', 1);
  if (now.etaSeconds) line += QStringLiteral(", ETA %1").arg(clockText(*now.etaSeconds));
  line += QStringLiteral("  ") + names;
  // "\r" and erase-to-end keep the line in place.
  std::fputs(("\r\033[K" + line).toLocal8Bit().constData(), stderr);
  std::fflush(stderr);
  progressShown_ = true;
}

void CommandLine::clearProgressLine() {
  if (!progressShown_) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  progressShown_ = false;
}

void CommandLine::reportProgress() {
  if (mode_ != Mode::json || !meter_.due(kJsonProgressInterval)) return;
  const ProgressSnapshot now =
      meter_.measure(model_->jobs(), model_->settings().enabledFormats.size());
  QJsonObject event{{"event", "progress"},
                    {"done", now.done},
                    {"total", now.total},
                    {"running", now.running},
                    {"percent", std::round(now.fraction * 1000.0) / 10.0}};
  if (now.speed) event.insert("speed", std::round(*now.speed * 100.0) / 100.0);
  if (now.etaSeconds) event.insert("eta", std::round(*now.etaSeconds * 10.0) / 10.0);
  printJson(event);
}

void CommandLine::reportJobStatus(const ConversionJob& job) {
  const auto kind = job.status().kind();
  if (kind == ConversionStatus::Kind::converting) {
    if (started_.insert(job.id()).second && mode_ == Mode::json)
      printJson(jobEvent("started", job));
    return;
  }
  const bool failed = kind == ConversionStatus::Kind::failed;
  const bool skipped = kind == ConversionStatus::Kind::skipped;
  if (kind != ConversionStatus::Kind::completed && !failed && !skipped) return;
  if (!reported_.insert(job.id()).second) return;
  const QString status = shown(QString::fromStdString(job.status().text()));
  switch (mode_) {
    case Mode::json: {
      QJsonObject event = jobEvent("finished", job);
      if (failed) {
        event.insert("error", QString::fromStdString(job.status().text()));
      } else {
        QJsonArray outputs;
        for (const auto& [format, url] : job.outputURLs()) outputs.append(pathToQString(url));
        event.insert("outputs", outputs);
        if (skipped) event.insert("upToDate", true);
      }
      printJson(event);
      break;
    }
    case Mode::lines:
      printOut(QStringLiteral("[%1/%2] %3: %4")
                   .arg(reported_.size())
                   .arg(model_->jobs().size())
                   .arg(jobName(job), status));
      break;
    case Mode::quiet:
      if (failed) printErr(QStringLiteral("%1: %2").arg(jobName(job), status));
      break;
    case Mode::live:
      break;  // the summary lists every file
  }
}

void CommandLine::startMeasuring() {
  meter_.start();
  if (mode_ != Mode::live && mode_ != Mode::json) return;
  struct Source {
    Uuid id;
    std::filesystem::path path;
    std::int64_t start;
    std::optional<std::int64_t> end;
  };
  std::vector<Source> sources;
  for (const auto& job : model_->jobs())
    sources.push_back(
        {job->id(), job->sourceURL(), job->startFrame().value_or(0), job->endFrame()});
  // Lengths some formats state only by decoding; the batch need not wait for them.
  lengthReader_ = std::jthread([this, sources = std::move(sources)](std::stop_token stop) {
    for (const Source& source : sources) {
      if (stop.stop_requested()) return;
      const auto info = readAudioFileInfo(source.path);
      if (!info || info->sampleRate <= 0) continue;
      const double seconds =
          static_cast<double>(source.end.value_or(info->totalFrames) - source.start) /
          info->sampleRate;
      QMetaObject::invokeMethod(
          app_, [this, id = source.id, seconds] { meter_.setDuration(id, seconds); },
          Qt::QueuedConnection);
    }
  });
}

void CommandLine::printBatchEnd(int completed, int failed, int total, int upToDate) {
  clearProgressLine();
  if (mode_ != Mode::json) {
    // Up-to-date files were not converted, so they count in neither number.
    QString message = completionMessage(completed, total - upToDate);
    if (upToDate > 0) {
      message.chop(1);  // the full stop
      message += QStringLiteral(", %1 up to date.").arg(upToDate);
    }
    printOut(message);
    return;
  }
  printJson({{"event", "summary"},
             {"completed", completed},
             {"failed", failed},
             {"upToDate", upToDate},
             {"total", total}});
}

void CommandLine::printSummary() {
  clearProgressLine();
  int completed = 0;
  int failed = 0;
  int total = 0;
  int upToDate = 0;
  // --quiet has shown the failures as they happened; --json has reported every file.
  const bool perFile = mode_ == Mode::live || mode_ == Mode::lines;
  for (const auto& job : model_->jobs()) {
    const auto kind = job->status().kind();
    ++total;
    if (kind == ConversionStatus::Kind::completed) {
      ++completed;
      if (!perFile) continue;
      printOut(QStringLiteral("%1: Completed").arg(jobName(*job)));
      for (const auto& [format, url] : job->outputURLs()) {
        printOut(
            QStringLiteral("  %1 -> %2")
                .arg(QString::fromUtf8(displayName(format)), shownPath(url)));
      }
      continue;
    }
    if (kind == ConversionStatus::Kind::failed) ++failed;
    if (kind == ConversionStatus::Kind::skipped) {
      ++upToDate;
      continue;  // listed as they were decided; thousands of them would bury the rest
    }
    if (perFile) {
      printOut(QStringLiteral("%1: %2").arg(jobName(*job),
                                            shown(QString::fromStdString(job->status().text()))));
    }
  }
  printBatchEnd(completed, failed, total, upToDate);
}

int CommandLine::exitStatus() const {
  if (interrupted_) return kExitInterrupted;
  if (mirrorFailed_) return kExitFailed;
  for (const auto& job : model_->jobs()) {
    const auto kind = job->status().kind();
    if (kind != ConversionStatus::Kind::completed && kind != ConversionStatus::Kind::skipped)
      return kExitFailed;
  }
  return kExitCompleted;
}

void CommandLine::handleSignal() {
  char buffer[16];
  [[maybe_unused]] const auto drained = ::read(gSignalPipe[0], buffer, sizeof buffer);
  if (interrupted_) return;
  interrupted_ = true;
  if (progressShown_) std::fputs("\n", stderr);
  progressShown_ = false;
  printErr(QStringLiteral("Interrupted: cancelling the conversion."));
  model_->watchFolderService().stopWatching();
  model_->cancelConversion();
  // Partial outputs are removed on the workers; leave once they have all ended.
  if (model_->activeWorkerCount() == 0) {
    printSummary();
    app_->exit(kExitInterrupted);
  }
}

int CommandLine::run(QCoreApplication& app, int argc, char** argv) {
  app_ = &app;
  addOptions();
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

  if (parser_.isSet("json")) {
    mode_ = Mode::json;
  } else if (parser_.isSet("quiet")) {
    mode_ = Mode::quiet;
  } else if (::isatty(STDERR_FILENO) == 1) {
    mode_ = Mode::live;
  }

  ConverterViewModel::Options options;
  options.postNotifications = false;
  if (parser_.isSet("output")) {
    const QString folder = parser_.value("output");
    if (folder.trimmed().isEmpty()) return usage(QStringLiteral("--output needs a folder"));
    options.outputDirectory = QFileInfo(folder).absoluteFilePath();
  }
  model_ = std::make_unique<ConverterViewModel>(options);
  // Conversions still succeed; the user learns once that they are not in the history.
  QObject::connect(model_.get(), &ConverterViewModel::libraryIndexSaveFailed,
                   [this](const QString& message) {
                     printErr(QStringLiteral("vexal-cli: index not saved: ") + message);
                     mirrorFailed_ = true;
                   });
  QObject::connect(&model_->historyManager(), &ConversionHistoryManager::saveFailed,
                   [](const QString& message) { printErr(QStringLiteral("vexal-cli: warning: ") + message); });
  QDir().mkpath(model_->outputDirectory());

  ConversionSettings settings;
  if (auto error = buildSettings(settings)) return usage(error->message);
  if (auto error = readShard()) return usage(error->message);
  if (parser_.isSet("delete") && !parser_.isSet("sync"))
    return usage(QStringLiteral("--delete needs --sync (only outputs the index recorded are removed)"));
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
    for (const auto& preset : builtInPresets()) printOut(presetLine(preset, true));
    for (const auto& preset : model_->presetManager().presets())
      printOut(presetLine(preset, false));
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

  for (const QString& path : paths) {
    std::error_code error;
    if (!std::filesystem::exists(pathFromQString(path), error))
      printErr(QStringLiteral("vexal-cli: %1: no such file or folder").arg(shown(path)));
  }
  model_->importURLs(paths);
  if (model_->jobs().empty() && !watching_) {
    printErr(QStringLiteral("vexal-cli: no audio files or cue sheets found"));
    return kExitFailed;
  }
  // A shard may hold nothing; it still runs, so that its --delete part is done.
  const bool sharded = shardCount_ > 1;
  if (sharded) model_->keepShard(shardIndex_, shardCount_);

  // Ctrl-C and termination cancel the batch as the Cancel button does.
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, gSignalPipe) != 0) {
    printErr(QStringLiteral("vexal-cli: cannot install the interrupt handler"));
    return kExitFailed;
  }
  QSocketNotifier signalNotifier(gSignalPipe[0], QSocketNotifier::Read);
  QObject::connect(&signalNotifier, &QSocketNotifier::activated, [this] { handleSignal(); });
  struct sigaction action = {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  QTimer progressTimer;
  QObject::connect(&progressTimer, &QTimer::timeout, [this] { showProgress(); });
  if (mode_ == Mode::live) progressTimer.start(kProgressIntervalMs);

  QObject::connect(model_.get(), &ConverterViewModel::jobChanged,
                   [this](const Uuid& id, ConversionJob::Field field) {
                     if (field == ConversionJob::Field::progress) {
                       if (const auto job = model_->job(id))
                         meter_.noteProgress(id, job->progress());
                       reportProgress();
                     } else if (field == ConversionJob::Field::status) {
                       if (const auto job = model_->job(id)) reportJobStatus(*job);
                     }
                   });
  QObject::connect(model_.get(), &ConverterViewModel::batchFinished,
                   [this](int completed, int total) {
                     if (interrupted_) return;
                     if (!watching_) {
                       finishMirroring();
                       printSummary();
                       app_->exit(exitStatus());
                       return;
                     }
                     // A batch that ends uncancelled has no file left unfinished.
                     printBatchEnd(completed, total - completed, total);
                     // Files that appeared while this batch ran wait for no further event.
                     QTimer::singleShot(0, model_.get(), [this] {
                       if (!model_->isConverting() && model_->remainingCount() > 0)
                         model_->startConversion();
                     });
                   });
  QObject::connect(model_.get(), &ConverterViewModel::workersIdle, [this] {
    if (!interrupted_) return;
    printSummary();
    app_->exit(kExitInterrupted);
  });

  if (watching_) {
    const QString folder = QFileInfo(parser_.value("watch")).absoluteFilePath();
    model_->watchFolderService().startWatching(folder);
    say(QStringLiteral("Watching %1 (Ctrl-C to stop).").arg(folder));
  }
  if (!model_->jobs().empty() || sharded) {
    startMeasuring();
    model_->startConversion();
  }
  const int status = app.exec();
  model_.reset();  // waits for workers and writes the history
  ::close(gSignalPipe[0]);
  ::close(gSignalPipe[1]);
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
