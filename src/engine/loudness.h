#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
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
  double truePeakDB = -100.0;  // 20·log10 of the true peak (4x oversampled), or -100.0
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

// BS.1770 loudness measured while audio streams past: interleaved chunks of any length
// at one rate and channel count. Keeps the powers of the 400 ms blocks (a new one every
// 100 ms), so the blocks of several tracks can be gated together for an album.
class LoudnessMeter {
 public:
  LoudnessMeter(double sampleRate, std::uint32_t channels);
  void add(const float* samples, std::uint32_t frames);
  void add(const std::int16_t* samples, std::uint32_t frames);  // full scale 32768
  // Ends the measurement: the filter's last output joins its block. Call once, after the
  // last chunk.
  void finish();

  float peak() const { return peak_; }  // largest absolute sample, linear
  const std::vector<double>& blockPowers() const { return blocks_; }
  LoudnessResult result() const;

  // Both K-weighting stages of two channels, one vector lane each: lanes 0 and 1 hold
  // the high shelf of the two channels, lanes 2 and 3 the high pass, which runs one
  // frame behind on the shelf's previous outputs (`held`).
  struct Lanes {
    std::array<float, 4> z1{}, z2{}, held{};
  };

 private:
  void closeHop();

  std::uint32_t channels_;
  double sampleRate_;
  std::array<std::array<float, 4>, 5> coefficients_{};  // b0, c1, c2, a1, a2 per lane
  std::vector<Lanes> pairs_;    // channels 2k and 2k + 1 (an odd last channel twice)
  std::vector<double> weights_;
  std::vector<double> hopPower_;  // per channel, K-weighted sum of squares of this hop
  std::int64_t hopFrames_;
  std::int64_t hopPosition_ = -1;  // the high pass's first output is the frame before 0
  std::array<double, 4> recentHops_{};
  std::int64_t hopsDone_ = 0;
  std::vector<double> blocks_;
  std::vector<float> converted_;  // int16 chunks as float
  float peak_ = 0.0f;
  double sumSquares_ = 0.0;
  std::int64_t sampleCount_ = 0;
};

// Measures [start, end) of the source at its stored rate and channels, true peak
// included. Progress goes from 0.0 to 0.3.
Expected<LoudnessResult> analyzeLoudness(const std::filesystem::path& source,
                                         std::optional<std::int64_t> start,
                                         std::optional<std::int64_t> end, std::stop_token stop,
                                         const ProgressCallback& progress);

// The two-stage gate over the powers of the 400 ms blocks; -100.0 when nothing passes.
double integratedLoudness(const std::vector<double>& blockPowers);

// Linear gain bringing the measurement of `mode` to `target`: at most +30 dB, 0.001 at
// -60 dB or below, 1.0 when not finite.
double normalizationGain(const LoudnessResult& result, NormalizationMode mode, double target);

// The measurement of `result` in `mode`'s own unit (LUFS, dBFS or dB).
double measuredLevel(const LoudnessResult& result, NormalizationMode mode);

// A normalisation's gain held so that the output's true peak stays at or below
// `ceilingDB` (dBTP), and the level it then reaches in the mode's unit.
struct NormalizationPlan {
  double gain = 1.0;
  double reached = 0.0;
  bool heldByCeiling = false;  // the target was not reached
};
NormalizationPlan planNormalization(const LoudnessResult& result, NormalizationMode mode,
                                    double target, double ceilingDB);

// "-9.0 LUFS requested, -11.4 LUFS reached: true-peak ceiling -1 dBTP".
std::string ceilingNote(NormalizationMode mode, double target, double reached, double ceilingDB);

// Block loudness in the form libebur128 keeps in its histogram mode: 1000 bins of 0.1 LU
// from -70 to +30 LUFS (louder blocks count in the last bin), each block counted by its
// loudness; the gates then work on the bins' centre energies. A track's histogram is a
// fixed 1000 counts whatever its length, histograms of several tracks add up to their
// album's, and the loudness they give is within 0.05 LU of the exact gate.
struct LoudnessHistogram {
  static constexpr std::size_t kBins = 1000;
  static constexpr double kFloorLUFS = -70.0;
  static constexpr double kBinLU = 0.1;
  std::vector<std::uint32_t> counts = std::vector<std::uint32_t>(kBins, 0);

  static LoudnessHistogram of(const std::vector<double>& blockPowers);
  void add(const LoudnessHistogram& other);
  // The two-stage gate on the counted blocks; -100.0 when nothing passes.
  double integratedLoudness() const;
  bool operator==(const LoudnessHistogram&) const = default;
};

}  // namespace vexal
