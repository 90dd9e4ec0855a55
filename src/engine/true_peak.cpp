#include "engine/true_peak.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numbers>

namespace vexal {

namespace {

using F4 = float __attribute__((vector_size(16)));

constexpr std::uint32_t kPhases = 4;
constexpr std::uint32_t kTaps = TruePeakInterpolator::kTaps;
constexpr std::uint32_t kSpan = TruePeakInterpolator::kSpan;

// The interpolating filter: a sinc cut off at the input's Nyquist frequency under a
// Kaiser window (beta 5), 128 taps at 4x, each phase scaled to unit gain at DC. Measured
// against a 32x, 256-tap reference on dense pink noise at 44.1 kHz, the 48 taps of
// BS.1770-4 Annex 2 read the peak 0.26 dB low and libebur128 0.09 dB low; this filter
// 0.01 dB. Tap k of phase p multiplies the sample k frames before the newest.
constexpr double kKaiserBeta = 5.0;

double besselI0(double x) {
  double sum = 1.0, term = 1.0;
  for (int k = 1; k < 40; ++k) {
    term *= (x / (2.0 * k)) * (x / (2.0 * k));
    sum += term;
  }
  return sum;
}

// Tap k of phase p, in all four lanes (the kernel runs four consecutive frames at once).
const std::array<std::array<F4, kTaps>, kPhases> kTapSplats = [] {
  constexpr std::uint32_t kLength = kPhases * kTaps;
  constexpr double kCentre = (kLength - 1) / 2.0;
  std::array<std::array<double, kTaps>, kPhases> phases{};
  for (std::uint32_t n = 0; n < kLength; ++n) {
    const double m = (n - kCentre) / kPhases;  // input samples from the centre
    const double sinc = std::sin(std::numbers::pi * m) / (std::numbers::pi * m);
    const double r = (n - kCentre) / kCentre;
    const double window = besselI0(kKaiserBeta * std::sqrt(std::max(0.0, 1.0 - r * r))) / besselI0(kKaiserBeta);
    // Phase p of input frame i reads taps p, p + 4, ... against frames i, i - 1, ...
    phases[n % kPhases][n / kPhases] = sinc * window;
  }
  std::array<std::array<F4, kTaps>, kPhases> taps{};
  for (std::uint32_t p = 0; p < kPhases; ++p) {
    double sum = 0.0;
    for (const double tap : phases[p]) sum += tap;
    for (std::uint32_t k = 0; k < kTaps; ++k) {
      const auto tap = static_cast<float>(phases[p][k] / sum);
      taps[p][k] = F4{tap, tap, tap, tap};
    }
  }
  return taps;
}();

// The largest sum of absolute taps of a phase: no interpolated value exceeds this many
// times the largest sample it is made of.
const double kGainBound = [] {
  double bound = 0;
  for (std::uint32_t p = 0; p < kPhases; ++p) {
    double sum = 0;
    for (std::uint32_t k = 0; k < kTaps; ++k) sum += std::fabs(kTapSplats[p][k][0]);
    bound = std::max(bound, sum);
  }
  return bound;
}();

// Frames screened together against the floor: a multiple of the kernel's four.
constexpr std::uint32_t kScreenFrames = 16;

F4 magnitude(F4 v) {
  using I4 = std::int32_t __attribute__((vector_size(16)));
  return reinterpret_cast<F4>(reinterpret_cast<I4>(v) & I4{0x7fffffff, 0x7fffffff, 0x7fffffff, 0x7fffffff});
}
F4 larger(F4 a, F4 b) { return a > b ? a : b; }
F4 loadF4(const float* from) {
  F4 v;
  std::memcpy(&v, from, sizeof v);
  return v;
}

// Look-ahead limiter timing: the gain falls over 5 ms before a peak and recovers with a
// 200 ms time constant, slow enough not to pump on programme material.
constexpr double kAttackSeconds = 0.005;
constexpr double kReleaseSeconds = 0.2;
// Held 0.2 dB below the ceiling: limiting drives many peaks to exactly the level this
// interpolator sees, and meters with other filters (libebur128's 49 taps) read such
// limited noise up to 0.15 dB higher.
constexpr double kLimiterMarginDB = 0.2;

}  // namespace

TruePeakInterpolator::TruePeakInterpolator(std::uint32_t channels)
    : channels_(channels), history_(static_cast<std::size_t>(channels) * kSpan, 0.0f) {}

void TruePeakInterpolator::framePeaks(const float* samples, std::uint32_t frames, float floor,
                                      float* peaks) {
  std::fill(peaks, peaks + frames, 0.0f);
  // Three zeros after the chunk, so the last group of four frames reads no further.
  line_.assign(kSpan + std::size_t{frames} + 3, 0.0f);
  const float screen = static_cast<float>(static_cast<double>(floor) / kGainBound);
  for (std::uint32_t c = 0; c < channels_; ++c) {
    float* history = history_.data() + std::size_t{c} * kSpan;
    std::copy(history, history + kSpan, line_.begin());
    for (std::uint32_t i = 0; i < frames; ++i) line_[kSpan + i] = samples[std::size_t{i} * channels_ + c];
    const float* line = line_.data();
    for (std::uint32_t first = 0; first < frames; first += kScreenFrames) {
      const std::uint32_t last = std::min(frames, first + kScreenFrames);
      // Every value of this stretch is made of line[first ... last + kSpan).
      float largest = 0.0f;
      for (std::uint32_t j = first; j < last + kSpan; ++j) largest = std::max(largest, std::fabs(line[j]));
      if (largest <= screen) {
        for (std::uint32_t i = first; i < last; ++i) peaks[i] = std::max(peaks[i], std::fabs(line[kSpan + i]));
        continue;
      }
      // Frames i ... i + 3 in the four lanes, the four phases in four sums.
      for (std::uint32_t i = first; i < last; i += 4) {
        const float* newest = line + kSpan + i;
        F4 phase0{}, phase1{}, phase2{}, phase3{};
        for (std::uint32_t k = 0; k < kTaps; ++k) {
          const F4 x = loadF4(newest - k);
          phase0 += kTapSplats[0][k] * x;
          phase1 += kTapSplats[1][k] * x;
          phase2 += kTapSplats[2][k] * x;
          phase3 += kTapSplats[3][k] * x;
        }
        const F4 found = larger(larger(magnitude(phase0), magnitude(phase1)),
                                larger(larger(magnitude(phase2), magnitude(phase3)), magnitude(loadF4(newest))));
        for (std::uint32_t lane = 0; lane < 4 && i + lane < last; ++lane) {
          peaks[i + lane] = std::max(peaks[i + lane], found[lane]);
        }
      }
    }
    std::copy(line_.begin() + frames, line_.begin() + frames + kSpan, history);
  }
}

void TruePeakMeter::add(const float* samples, std::uint32_t frames) {
  peaks_.resize(frames);
  interpolator_.framePeaks(samples, frames, peak_, peaks_.data());
  for (const float value : peaks_) peak_ = std::max(peak_, value);
}

TruePeakLimiter::TruePeakLimiter(double sampleRate, std::uint32_t channels, double ceiling)
    : channels_(channels),
      ceiling_(static_cast<float>(ceiling * std::pow(10.0, -kLimiterMarginDB / 20.0))),
      attack_(std::max<std::uint32_t>(1, static_cast<std::uint32_t>(std::lround(sampleRate * kAttackSeconds)))),
      hold_(attack_ + kSpan),
      latency_(hold_ - 1),
      release_(std::exp(-1.0 / (sampleRate * kReleaseSeconds))),
      interpolator_(channels),
      delay_(static_cast<std::size_t>(latency_) * channels, 0.0f),
      needs_(hold_, 1.0f),
      minima_(hold_, 0),
      incoming_(channels, 0.0f),
      held_(attack_, 1.0f),
      heldSum_(attack_) {}

std::uint32_t TruePeakLimiter::process(float* samples, std::uint32_t frames) {
  peaks_.resize(frames);
  // Below the ceiling the exact interpolated value does not matter.
  interpolator_.framePeaks(samples, frames, ceiling_, peaks_.data());
  std::uint32_t out = 0;
  for (std::uint32_t i = 0; i < frames; ++i, ++frame_) {
    const float need = peaks_[i] > ceiling_ ? ceiling_ / peaks_[i] : 1.0f;
    // Sliding minimum of the needs of the last hold_ frames: a run of frames whose needs
    // rise, oldest first; each frame enters and leaves it once.
    const auto minimum = [&](std::uint32_t position) -> std::uint64_t& {
      return minima_[(minimaHead_ + position) % hold_];
    };
    while (minimaSize_ > 0 && needs_[minimum(minimaSize_ - 1) % hold_] >= need) --minimaSize_;
    if (minimaSize_ > 0 && frame_ - minimum(0) >= hold_) {
      minimaHead_ = (minimaHead_ + 1) % hold_;
      --minimaSize_;
    }
    needs_[frame_ % hold_] = need;
    minimum(minimaSize_++) = frame_;

    // The frame leaving now, `latency_` frames back, has seen every peak it serves.
    float* delayed = delay_.data() + static_cast<std::size_t>(frame_ % latency_) * channels_;
    const float* input = samples + std::size_t{i} * channels_;
    std::copy(input, input + channels_, incoming_.begin());
    if (frame_ >= latency_) {
      released_ = std::min(needs_[minimum(0) % hold_],
                           static_cast<float>(1.0 - (1.0 - released_) * release_));
      if (frame_ == latency_) {
        // Before the stream's first frame the gain is taken to be its first frame's, so
        // that the attack over the first peaks is already down.
        std::fill(held_.begin(), held_.end(), released_);
        heldSum_ = static_cast<double>(released_) * attack_;
      }
      float& boxed = held_[(frame_ - latency_) % attack_];
      heldSum_ += static_cast<double>(released_) - boxed;
      boxed = released_;
      const float gain = std::min(1.0f, static_cast<float>(heldSum_ / attack_));
      float* leaving = samples + std::size_t{out++} * channels_;
      for (std::uint32_t c = 0; c < channels_; ++c) leaving[c] = delayed[c] * gain;
    }
    std::copy(incoming_.begin(), incoming_.end(), delayed);
  }
  return out;
}

std::uint32_t TruePeakLimiter::drain(float* samples) {
  if (drained_) return 0;
  drained_ = true;
  std::fill(samples, samples + std::size_t{latency_} * channels_, 0.0f);
  return process(samples, latency_);
}

}  // namespace vexal
