#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stop_token>
#include <vector>

#include "engine/encode_request.h"
#include "model/conversion_error.h"
#include "model/options.h"

namespace vexal {

struct LoudnessResult {
  double peakDB = -100.0;  // 20·log10 of the largest absolute sample
  double rmsDB = -100.0;   // 10·log10 of the mean square of all samples
  double lufs = -100.0;    // gated integrated loudness (ITU-R BS.1770-4)
  double sampleRate = 0;
  std::uint32_t channels = 0;
};

// One transposed direct form II biquad in 32-bit floats.
struct BiquadFilter {
  float b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
  float z1 = 0, z2 = 0;
  float process(float x) {
    const float y = b0 * x + z1;
    z1 = z2 + (b1 * x - a1 * y);
    z2 = b2 * x - a2 * y;
    return y;
  }
};

// The K-weighting of BS.1770: a high shelf, then a high pass.
struct KWeightingFilter {
  BiquadFilter stage1;
  BiquadFilter stage2;
  static KWeightingFilter forSampleRate(double sampleRate);
  float process(float x) { return stage2.process(stage1.process(x)); }
};

// Measures [start, end) of the source at its stored rate and channels. Progress goes
// from 0.0 to 0.3.
Expected<LoudnessResult> analyzeLoudness(const std::filesystem::path& source,
                                         std::optional<std::int64_t> start,
                                         std::optional<std::int64_t> end, std::stop_token stop,
                                         const ProgressCallback& progress);

// The two-stage gate over the powers of the 400 ms blocks; -100.0 when nothing passes.
double integratedLoudness(const std::vector<double>& blockPowers);

// Linear gain bringing the measurement of `mode` to `target`: at most +30 dB, 0.001 at
// -60 dB or below, 1.0 when not finite.
double normalizationGain(const LoudnessResult& result, NormalizationMode mode, double target);

}  // namespace vexal
