#include "app/cli_options.h"

#include <cmath>
#include <functional>

#include "app/command_parser.h"
#include "model/output_format.h"
#include "persistence/preset_manager.h"

namespace vexal {

namespace {

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

// Reads an option whose values the command description lists; `apply` gets the index.
std::optional<UsageError> readChoice(const QCommandLineParser& parser, const QString& name,
                                     const std::function<void(std::size_t)>& apply) {
  if (!parser.isSet(name)) return std::nullopt;
  const CommandOption* option = findOption(commandLineToolDescription(), name.toStdString());
  const std::string text = parser.value(name).trimmed().toLower().toStdString();
  QStringList choices;
  for (std::size_t i = 0; option != nullptr && i < option->choices.size(); ++i) {
    if (option->choices[i] == text) {
      apply(i);
      return std::nullopt;
    }
    choices << QString::fromUtf8(option->choices[i].data(), static_cast<qsizetype>(option->choices[i].size()));
  }
  return UsageError{QStringLiteral("invalid value '%1' for --%2 (expected one of %3)")
                        .arg(parser.value(name), name, choices.join(QStringLiteral(", ")))};
}

}  // namespace

void addOptions(QCommandLineParser& parser) {
  describeCommand(parser, commandLineToolDescription());
}

std::optional<UsageError> buildSettings(const QCommandLineParser& parser, PresetManager& presets,
                                        ConversionSettings& settings) {
  if (parser.isSet("preset")) {
    const auto preset = presets.find(parser.value("preset").trimmed());
    if (!preset) {
      return UsageError{QStringLiteral("unknown preset '%1' for --preset (see --list-presets)")
                            .arg(parser.value("preset"))};
    }
    settings = preset->toSettings();
  }
  if (parser.isSet("format")) {
    settings.enabledFormats.clear();
    for (const QString& piece :
         parser.value("format").split(QLatin1Char(','), Qt::SkipEmptyParts)) {
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
  check(readNumber(parser, "bitrate", 6, 640, "kbit/s",
                   [&](double v) {
                     // One bitrate for every lossy format, overriding a preset's per-format ones.
                     settings.customBitrate = std::llround(v * 1000.0);
                     settings.formatBitrates.clear();
                   }));
  check(readChoice(parser, "mp3-mode",
                   [&](std::size_t i) { settings.bitrateMode = kAllBitrateModes[i]; }));
  check(readChoice(parser, "vbr-quality",
                   [&](std::size_t i) { settings.vbrQuality = kAllVBRQualities[i]; }));
  check(readChoice(parser, "aac-mode",
                   [&](std::size_t i) { settings.aacStrategy = kAllAACStrategies[i]; }));
  check(readNumber(parser, "sample-rate", 1000, 768000, "Hz",
                   [&](double v) { settings.customSampleRate = v; }));
  check(readChoice(parser, "channels", [&](std::size_t i) {
    settings.customChannels = static_cast<std::uint32_t>(i + 1);
  }));
  // The modes after "off".
  check(readChoice(parser, "normalize",
                   [&](std::size_t i) { settings.normalizationMode = kAllNormalizationModes[i + 1]; }));
  check(readNumber(parser, "target", -70, 0, "dB",
                   [&](double v) { settings.normalizationTarget = v; }));
  check(readNumber(parser, "true-peak-ceiling", -20, 0, "dBTP",
                   [&](double v) { settings.truePeakCeiling = v; }));
  if (parser.isSet("limiter")) settings.truePeakLimiter = true;
  check(readChoice(parser, "bit-depth", [&](std::size_t i) { settings.bitDepth = kAllBitDepths[i]; }));
  if (parser.isSet("trim-silence")) settings.trimSilence = true;
  check(readNumber(parser, "silence-threshold", -120, 0, "dBFS",
                   [&](double v) { settings.silenceThresholdDB = v; }));
  check(readNumber(parser, "fade-in", 0, 3600, "seconds",
                   [&](double v) { settings.fadeInSeconds = v; }));
  check(readNumber(parser, "fade-out", 0, 3600, "seconds",
                   [&](double v) { settings.fadeOutSeconds = v; }));
  if (parser.isSet("template")) {
    const QString text = parser.value("template");
    if (text.trimmed().isEmpty())
      return UsageError{QStringLiteral("--template needs a non-empty text")};
    settings.namingTemplate.templateText = text.toStdString();
  }
  if (parser.isSet("no-metadata")) settings.preserveMetadata = false;
  check(readNumber(parser, "cover-max-size", 1, 10000, "pixels", [&](double v) {
    settings.coverMaxSize = static_cast<std::uint32_t>(std::lround(v));
  }));
  if (parser.isSet("front-cover-only")) settings.frontCoverOnly = true;
  if (parser.isSet("replaygain")) settings.writeReplayGain = true;
  if (parser.isSet("album-by-folder")) settings.albumByFolder = true;
  if (parser.isSet("verify")) settings.verifyAfterConversion = true;
  if (parser.isSet("sync")) settings.skipConverted = true;
  return error;
}

std::optional<UsageError> readJobs(const QCommandLineParser& parser, int& jobs) {
  if (!parser.isSet("jobs")) return std::nullopt;
  bool ok = false;
  const int value = parser.value("jobs").trimmed().toInt(&ok);
  if (!ok || value < 1 || value > kMaxJobs) {
    return UsageError{QStringLiteral("invalid value '%1' for --jobs (expected a whole number from 1 "
                                     "to %2)")
                          .arg(parser.value("jobs"))
                          .arg(kMaxJobs)};
  }
  jobs = value;
  return std::nullopt;
}

std::optional<UsageError> readShard(const QCommandLineParser& parser, int& index, int& count) {
  if (!parser.isSet("shard")) return std::nullopt;
  const QString text = parser.value("shard").trimmed();
  const qsizetype slash = text.indexOf(QLatin1Char('/'));
  bool okIndex = false, okCount = false;
  const int k = text.left(slash).toInt(&okIndex);
  const int n = text.mid(slash + 1).toInt(&okCount);
  if (slash < 0 || !okIndex || !okCount || n < 1 || k < 1 || k > n) {
    return UsageError{QStringLiteral("invalid value '%1' for --shard (expected K/N with 1 <= K <= N, "
                                     "e.g. 2/8)")
                          .arg(parser.value("shard"))};
  }
  index = k - 1;
  count = n;
  return std::nullopt;
}

}  // namespace vexal
