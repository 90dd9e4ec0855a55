#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "model/naming_template.h"
#include "model/options.h"
#include "model/output_format.h"

namespace vexal {

// Immutable-by-copy: the engine receives its own copy for every conversion.
struct ConversionSettings {
  std::set<OutputFormat> enabledFormats;
  std::optional<std::int64_t> customBitrate;   // bit/s; the fallback of formatBitrates
  std::optional<double> customSampleRate;      // Hz
  std::optional<std::uint32_t> customChannels;
  BitDepth bitDepth = BitDepth::formatDefault;  // WAV, AIFF, FLAC and ALAC
  NormalizationMode normalizationMode = NormalizationMode::off;
  double normalizationTarget = -14.0;  // LUFS, dBFS or dB depending on the mode
  // Normalisation never lifts the output's true peak above this (dBTP); with the limiter
  // on, a look-ahead true-peak limiter holds it there and the target is reached instead.
  double truePeakCeiling = -1.0;
  bool truePeakLimiter = false;
  BitrateMode bitrateMode = BitrateMode::cbr;
  VBRQuality vbrQuality = VBRQuality::v2;
  AACStrategy aacStrategy = AACStrategy::cbr;
  bool trimSilence = false;
  double silenceThresholdDB = -50.0;  // dBFS
  double fadeInSeconds = 0.0;
  double fadeOutSeconds = 0.0;
  bool writeReplayGain = false;
  // Album ReplayGain takes each source folder as one album, album tags or not.
  bool albumByFolder = false;
  bool preserveMetadata = true;
  // Pictures for devices: the longest side in pixels a picture may keep (larger ones are
  // scaled down, aspect kept, to a JPEG of quality 90; absent: as they are), and whether
  // the front cover is the only picture written.
  std::optional<std::uint32_t> coverMaxSize;
  bool frontCoverOnly = false;
  NamingTemplate namingTemplate;
  bool verifyAfterConversion = false;
  // Mirroring: a source whose outputs the destination's index records as made from it,
  // unchanged and with the same settings, is not converted again.
  bool skipConverted = false;
  // bit/s chosen for one lossy format; wins over customBitrate for that format.
  std::map<OutputFormat, std::int64_t> formatBitrates;
  // Cores one conversion may use: 2 reads and encodes on two threads. Chosen per job by
  // the batch when it runs fewer jobs than there are cores; never stored.
  int threads = 1;

  // The enabled format whose raw value sorts first; aac when none is enabled.
  OutputFormat primaryFormat() const;
  // bitrateFor(primaryFormat()).
  std::int64_t effectiveBitrate() const;
  // The bitrate an encoder of `format` uses: the format's own choice, else
  // customBitrate, else the format's default. (The primary format's bitrate would hand a
  // Vorbis encoder 0 when FLAC sorts first.)
  std::int64_t bitrateFor(OutputFormat format) const;
  // What the user chose for `format` (its own entry, else customBitrate); nothing means
  // the format's default.
  std::optional<std::int64_t> chosenBitrate(OutputFormat format) const;
  // Chooses the bitrate of one format (nothing: its default) and leaves every other
  // format's bitrate as it was, turning a shared customBitrate into per-format entries.
  void setBitrate(OutputFormat format, std::optional<std::int64_t> bitsPerSecond);

  bool operator==(const ConversionSettings&) const = default;
};

// Hex FNV-1a 64 of what shapes an output of `format`: the format and its encoder options,
// rate, channels, processing, tags and the naming template. Checks and UI preferences
// (verification, skipping) leave it unchanged.
std::string outputFingerprint(const ConversionSettings& settings, OutputFormat format);

// FNV-1a 64 of the bytes: stable across runs, machines and builds (std::hash is not).
std::uint64_t stableHash(std::string_view bytes);

}  // namespace vexal
