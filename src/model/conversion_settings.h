#pragma once

#include <cstdint>
#include <optional>
#include <set>

#include "model/naming_template.h"
#include "model/options.h"
#include "model/output_format.h"

namespace vexal {

// Immutable-by-copy: the engine receives its own copy for every conversion.
struct ConversionSettings {
  std::set<OutputFormat> enabledFormats;
  std::optional<std::int64_t> customBitrate;   // bit/s
  std::optional<double> customSampleRate;      // Hz
  std::optional<std::uint32_t> customChannels;
  NormalizationMode normalizationMode = NormalizationMode::off;
  double normalizationTarget = -14.0;  // LUFS, dBFS or dB depending on the mode
  BitrateMode bitrateMode = BitrateMode::cbr;
  VBRQuality vbrQuality = VBRQuality::v2;
  AACStrategy aacStrategy = AACStrategy::cbr;
  bool trimSilence = false;
  double silenceThresholdDB = -50.0;  // dBFS
  double fadeInSeconds = 0.0;
  double fadeOutSeconds = 0.0;
  bool writeReplayGain = false;
  bool preserveMetadata = true;
  NamingTemplate namingTemplate;
  bool verifyAfterConversion = false;

  // The enabled format whose raw value sorts first; aac when none is enabled.
  OutputFormat primaryFormat() const;
  // customBitrate, else the default of primaryFormat(). Drives the settings caption.
  std::int64_t effectiveBitrate() const;
  // The bitrate an encoder of `format` uses: customBitrate, else that format's own
  // default. (effectiveBitrate would hand a Vorbis encoder 0 when FLAC sorts first.)
  std::int64_t bitrateFor(OutputFormat format) const;

  bool operator==(const ConversionSettings&) const = default;
};

}  // namespace vexal
