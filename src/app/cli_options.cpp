#include "app/cli_options.h"

#include <cmath>
#include <functional>

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

}  // namespace

void addOptions(QCommandLineParser& parser) {
  parser.setApplicationDescription(
      QStringLiteral("Converts audio files, folders and cue sheets into one or more formats.\n"
                     "Exit status: 0 when every file converted, 1 when any failed, 2 for a usage "
                     "error, 130 when interrupted."));
  parser.addHelpOption();
  parser.addPositionalArgument(QStringLiteral("PATH"),
                                QStringLiteral("Audio files, folders or cue sheets to convert."),
                                QStringLiteral("PATH..."));
  const auto valueOption = [&parser](const QString& name, const QString& help, const QString& value) {
    parser.addOption(QCommandLineOption(name, help, value));
  };
  const auto flagOption = [&parser](const QString& name, const QString& help) {
    parser.addOption(QCommandLineOption(name, help));
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
  valueOption("normalize", "Normalise: peak, rms or lufs.", "MODE");
  valueOption("target", "Normalisation target in dB (LUFS for lufs).", "DB");
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
  check(readChoice(parser, "mp3-mode", {"cbr", "vbr"}, [&](qsizetype i) {
    settings.bitrateMode = kAllBitrateModes[static_cast<std::size_t>(i)];
  }));
  check(readChoice(parser, "vbr-quality", {"0", "2", "4", "6", "8"}, [&](qsizetype i) {
    settings.vbrQuality = kAllVBRQualities[static_cast<std::size_t>(i)];
  }));
  check(readChoice(
      parser, "aac-mode", {"cbr", "vbr-low", "vbr-medium", "vbr-high"},
      [&](qsizetype i) { settings.aacStrategy = kAllAACStrategies[static_cast<std::size_t>(i)]; }));
  check(readNumber(parser, "sample-rate", 1000, 768000, "Hz",
                   [&](double v) { settings.customSampleRate = v; }));
  check(readChoice(parser, "channels", {"1", "2"}, [&](qsizetype i) {
    settings.customChannels = static_cast<std::uint32_t>(i + 1);
  }));
  check(readChoice(parser, "normalize", {"peak", "rms", "lufs"}, [&](qsizetype i) {
    settings.normalizationMode = kAllNormalizationModes[static_cast<std::size_t>(i) + 1];
  }));
  check(readNumber(parser, "target", -70, 0, "dB",
                   [&](double v) { settings.normalizationTarget = v; }));
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
  if (parser.isSet("replaygain")) settings.writeReplayGain = true;
  if (parser.isSet("verify")) settings.verifyAfterConversion = true;
  if (parser.isSet("sync")) settings.skipConverted = true;
  return error;
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
