#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <vector>

#include "engine/audio_file_info.h"
#include "model/audio_metadata.h"
#include "model/conversion_settings.h"
#include "model/output_format.h"

namespace vexal {

using ProgressCallback = std::function<void(double)>;

// The loudness of an output's audio as the reading loop measured it (after gain, fades,
// resampling and channel mapping, before encoding): the sample peak (linear) and the
// powers of its 400 ms gating blocks, which several tracks can pool for album values.
struct MeasuredLoudness {
  double peak = 0;
  std::vector<double> blockPowers;
};

// What one conversion handed its encoder, reported back so the output can be checked
// against it after the write.
struct ConversionTally {
  std::int64_t frames = 0;  // frames encoded, at `sampleRate`
  double sampleRate = 0;    // 0: nothing was encoded
  // Of the float samples encoded, present only when the output must decode to exactly
  // these samples: a lossless format, no gain or fades, no resampling or channel change,
  // an integer source of at most 24 bits.
  std::optional<std::uint64_t> checksum;
  bool measureLoudness = false;  // asks the reading loop to fill `loudness`
  std::optional<MeasuredLoudness> loudness;
};

// Running checksum over float samples, by bit pattern; `pcmChecksum(kPcmChecksumSeed,
// ...)` starts one. Word-wise FNV-1a: quick enough to run beside every encode.
inline constexpr std::uint64_t kPcmChecksumSeed = 14695981039346656037ull;
inline std::uint64_t pcmChecksum(std::uint64_t running, const float* samples, std::size_t count) {
  constexpr std::uint64_t kPrime = 1099511628211ull;
  for (std::size_t i = 0; i < count; ++i) {
    running = (running ^ std::bit_cast<std::uint32_t>(samples[i])) * kPrime;
  }
  return running;
}

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
  ConversionTally* tally = nullptr;  // filled by the reading loop when present
  bool pipelined = false;  // read on a second thread while this one encodes

  void reportProgress(double value) const {
    if (progress) progress(value);
  }
};

}  // namespace vexal
