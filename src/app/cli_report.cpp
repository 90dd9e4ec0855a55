#include "app/cli_report.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

#include "app/cli_terminal.h"
#include "engine/audio_file_info.h"
#include "model/output_format.h"
#include "orchestration/converter_view_model.h"
#include "persistence/preset_manager.h"
#include "sources/path_text.h"

namespace vexal {

namespace {

// Progress events of --json, at most ten a second.
constexpr std::chrono::milliseconds kJsonProgressInterval{100};
// Where a terminal does not say how wide it is.
constexpr int kDefaultColumns = 80;

QString formatList(const std::set<OutputFormat>& formats) {
  QStringList names;
  for (OutputFormat format : orderedByRawValue(formats))
    names << QString::fromUtf8(rawValue(format));
  return names.isEmpty() ? QStringLiteral("(no format)") : names.join(QLatin1Char(','));
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

// A job's source as scripts see it; a cue track adds its title.
QJsonObject jobEvent(const char* name, const ConversionJob& job) {
  QJsonObject event{{"event", QString::fromLatin1(name)},
                    {"source", pathToQString(job.sourceURL())}};
  if (job.trackTitle()) event.insert("track", QString::fromStdString(*job.trackTitle()));
  return event;
}

// The source as it was given on the command line (or below the folder given), so that
// one "01 track.flac" among hundreds can be found; a cue track adds its title.
QString jobName(const ConversionJob& job) {
  const QString path = shownPath(job.sourceURL());
  if (!job.trackTitle()) return path;
  return QStringLiteral("%1 [%2]").arg(path, shown(QString::fromStdString(*job.trackTitle())));
}

// What the live line shows of a running job: its file name or track title.
QString runningName(const ConversionJob& job) {
  if (job.trackTitle()) return shown(QString::fromStdString(*job.trackTitle()));
  return shownPath(job.sourceURL().filename());
}

// Every output the job kept, also when another of its formats failed.
void printOutputs(const ConversionJob& job) {
  for (const auto& [format, url] : job.outputURLs())
    printOut(QStringLiteral("  %1 -> %2").arg(QString::fromUtf8(displayName(format)), shownPath(url)));
}

QJsonArray outputList(const ConversionJob& job) {
  QJsonArray outputs;
  for (const auto& [format, url] : job.outputURLs()) outputs.append(pathToQString(url));
  return outputs;
}

}  // namespace

void printErr(const QString& text) {
  std::fputs(text.toLocal8Bit().constData(), stderr);
  std::fputc('\n', stderr);
}

void printOut(const QString& text) {
  std::fputs(text.toLocal8Bit().constData(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void printJson(const QJsonObject& event) {
  std::fputs(QJsonDocument(event).toJson(QJsonDocument::Compact).constData(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

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

void BatchReport::showProgress() {
  if (mode_ != Mode::live || !model_.isConverting()) return;
  QStringList current;
  for (const auto& job : model_.jobs()) {
    if (job->status().kind() == ConversionStatus::Kind::converting) current << runningName(*job);
  }
  const ProgressSnapshot now =
      meter_.measure(model_.jobs());
  QString line = QStringLiteral("[%1%] %2/%3 files done, %4 running")
                     .arg(static_cast<int>(now.fraction * 100.0), 3)
                     .arg(now.done)
                     .arg(now.total)
                     .arg(now.running);
  if (now.speed) line += QStringLiteral(", %1\u00d7 real time").arg(*now.speed, 0, 'f', 1);
  if (now.etaSeconds) line += QStringLiteral(", ETA %1").arg(clockText(*now.etaSeconds));
  line += QStringLiteral("  ") + current.join(QStringLiteral(", "));
  // "\r" and erase-to-end keep the line in place as long as it never wraps: it stays off
  // the last column, where some terminals wrap at once.
  line = elideMiddle(line, (columns_ > 0 ? columns_ : kDefaultColumns) - 1);
  std::fputs(("\r\033[K" + line).toLocal8Bit().constData(), stderr);
  std::fflush(stderr);
  progressShown_ = true;
}

void BatchReport::clearProgressLine() {
  if (!progressShown_) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  progressShown_ = false;
}

void BatchReport::reportProgress() {
  if (mode_ != Mode::json || !meter_.due(kJsonProgressInterval)) return;
  const ProgressSnapshot now =
      meter_.measure(model_.jobs());
  QJsonObject event{{"event", "progress"},
                    {"done", now.done},
                    {"total", now.total},
                    {"running", now.running},
                    {"percent", std::round(now.fraction * 1000.0) / 10.0}};
  if (now.speed) event.insert("speed", std::round(*now.speed * 100.0) / 100.0);
  if (now.etaSeconds) event.insert("eta", std::round(*now.etaSeconds * 10.0) / 10.0);
  printJson(event);
}

void BatchReport::reportJobStatus(const ConversionJob& job) {
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
  if (failed) ++sinceBatchEnd_.failed;
  if (skipped) ++sinceBatchEnd_.upToDate;
  const QString status = shown(QString::fromStdString(job.status().text()));
  switch (mode_) {
    case Mode::json: {
      QJsonObject event = jobEvent("finished", job);
      event.insert("outputs", outputList(job));
      if (failed) event.insert("error", QString::fromStdString(job.status().text()));
      if (skipped) event.insert("upToDate", true);
      printJson(event);
      break;
    }
    case Mode::lines:
      printOut(QStringLiteral("[%1/%2] %3: %4")
                   .arg(reported_.size())
                   .arg(model_.jobs().size())
                   .arg(jobName(job), status));
      break;
    case Mode::quiet:
      if (failed) printErr(QStringLiteral("%1: %2").arg(jobName(job), status));
      break;
    case Mode::live:
      break;  // the summary lists every file
  }
}

void BatchReport::startMeasuring(QObject* context) {
  meter_.start();
  if (mode_ != Mode::live && mode_ != Mode::json) return;
  struct Source {
    Uuid id;
    std::filesystem::path path;
    std::int64_t start;
    std::optional<std::int64_t> end;
  };
  std::vector<Source> sources;
  for (const auto& job : model_.jobs())
    sources.push_back(
        {job->id(), job->sourceURL(), job->startFrame().value_or(0), job->endFrame()});
  // Lengths some formats state only by decoding; the batch need not wait for them.
  lengthReader_ = std::jthread([this, context, sources = std::move(sources)](std::stop_token stop) {
    for (const Source& source : sources) {
      if (stop.stop_requested()) return;
      const auto info = readAudioFileInfo(source.path);
      if (!info || info->sampleRate <= 0) continue;
      const double seconds =
          static_cast<double>(source.end.value_or(info->totalFrames) - source.start) /
          info->sampleRate;
      QMetaObject::invokeMethod(
          context, [this, id = source.id, seconds] { meter_.setDuration(id, seconds); },
          Qt::QueuedConnection);
    }
  });
}

void BatchReport::printBatchEnd(int completed, int failed, int total, int upToDate) {
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

void BatchReport::printSummary() {
  clearProgressLine();
  int completed = 0;
  int failed = 0;
  int total = 0;
  int upToDate = 0;
  // --quiet has shown the failures as they happened; --json has reported every file.
  const bool perFile = mode_ == Mode::live || mode_ == Mode::lines;
  for (const auto& job : model_.jobs()) {
    const auto kind = job->status().kind();
    ++total;
    if (kind == ConversionStatus::Kind::completed) ++completed;
    if (kind == ConversionStatus::Kind::failed) ++failed;
    if (kind == ConversionStatus::Kind::skipped) {
      ++upToDate;
      continue;  // listed as they were decided; thousands of them would bury the rest
    }
    if (!perFile) continue;
    printOut(QStringLiteral("%1: %2").arg(jobName(*job),
                                          shown(QString::fromStdString(job->status().text()))));
    printOutputs(*job);
  }
  printBatchEnd(completed, failed, total, upToDate);
}

void BatchReport::warn(const QString& path, const QString& reason) {
  if (mode_ == Mode::json) {
    printJson({{"event", "warning"}, {"path", path}, {"message", reason}});
    return;
  }
  clearProgressLine();
  printErr(QStringLiteral("vexal-cli: warning: %1: %2").arg(shown(path), reason));
}

void BatchReport::endProgressLine() {
  if (progressShown_) std::fputs("\n", stderr);
  progressShown_ = false;
}

}  // namespace vexal
