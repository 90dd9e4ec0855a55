#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stop_token>
#include <vector>

namespace vexal {

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

// The loudness of an output's audio: the sample peak (linear) and the powers of its
// 400 ms gating blocks, which several tracks can pool for album values.
struct MeasuredLoudness {
  double peak = 0;
  std::vector<double> blockPowers;
  double rmsDB = -100.0;  // of all samples
};

// A finished output decoded once more: whether it decodes from start to end without
// read errors and without NaN or infinite samples, how long it is, the checksum of its
// float samples (pcmChecksum) and, when asked for, its loudness as it plays.
struct DecodedOutput {
  bool decodable = false;
  std::int64_t frames = 0;
  double sampleRate = 0;
  std::uint64_t checksum = kPcmChecksumSeed;
  bool damaged = false;  // decoding stopped at damage after `frames` frames
  std::optional<MeasuredLoudness> loudness;
};

// Decodes `path` at its own rate and channels, in one pass. A stop request ends it early
// with `decodable` false.
DecodedOutput decodeOutput(const std::filesystem::path& path, std::stop_token stop,
                           bool measureLoudness);

}  // namespace vexal
