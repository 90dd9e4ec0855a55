#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <vector>

#include "engine/audio_file_info.h"
#include "engine/decoded_output.h"
#include "model/audio_metadata.h"
#include "model/conversion_settings.h"
#include "model/output_format.h"

namespace vexal {

using ProgressCallback = std::function<void(double)>;

// What one conversion handed its encoder, reported back so the output can be checked
// against it after the write.
struct ConversionTally {
  std::int64_t frames = 0;  // frames encoded, at `sampleRate`
  double sampleRate = 0;    // 0: nothing was encoded
  // Of the float samples encoded, present only when the output must decode to exactly
  // these samples: a lossless format, no gain, fades or limiter, no resampling or channel
  // change, and an integer source of at most the output's bits (or a float output).
  std::optional<std::uint64_t> checksum;
  bool measureLoudness = false;  // asks the reading loop to fill `loudness`
  // The output's loudness: measured by the reading loop (lossless outputs, exact), or on
  // the decoded output (lossy ones, as it plays).
  std::optional<MeasuredLoudness> loudness;
  // The lossy output decoded for its loudness; verification reuses it.
  std::optional<DecodedOutput> decoded;
};

// Everything an encoder receives from the conversion entry.
struct EncodeRequest {
  std::filesystem::path source;
  std::filesystem::path output;
  OutputFormat format = OutputFormat::wav;
  ConversionSettings settings;
  AudioFileInfo info;
  std::optional<std::int64_t> start;  // source frames
  std::optional<std::int64_t> end;    // source frames, exclusive
  std::int64_t fadeInFrames = 0;      // output frames
  std::int64_t fadeOutFrames = 0;     // output frames
  std::optional<AudioMetadata> metadata;  // present only when it is to be written
  ProgressCallback progress;              // 0.0 ... 1.0 of this encoder's work
  std::stop_token stop;
  double gain = 1.0;
  // Linear true-peak ceiling held by a look-ahead limiter after the gain and fades.
  std::optional<double> limiterCeiling;
  // TPDF dither when an integer output holds fewer bits than the samples carry.
  bool dither = false;
  ConversionTally* tally = nullptr;  // filled by the reading loop when present
  bool pipelined = false;  // read on a second thread while this one encodes

  void reportProgress(double value) const {
    if (progress) progress(value);
  }
};

}  // namespace vexal
