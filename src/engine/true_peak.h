#pragma once

#include <cstdint>
#include <vector>

namespace vexal {

// True peak as ITU-R BS.1770-4, Annex 2 measures it, 4x oversampling through a polyphase
// FIR, with a longer filter than the recommendation's 48 taps (128: four phases of 32,
// see true_peak.cpp), which reads dense material at 44.1 kHz up to 0.25 dB low. Runs over
// interleaved chunks of any length; each channel keeps the 31 samples its next chunk
// needs. For every input frame i it yields the largest absolute value, over all
// channels, of the sample and of the four values interpolated between frames i - 16 and
// i - 15 (the filter's delay). Linear values; 1.0 is full scale.
class TruePeakInterpolator {
 public:
  static constexpr std::uint32_t kTaps = 32;  // per phase
  // The value at frame i depends on frames i - kSpan ... i.
  static constexpr std::uint32_t kSpan = kTaps - 1;

  explicit TruePeakInterpolator(std::uint32_t channels);

  // Writes `frames` per-frame peaks to `peaks`. Where no interpolated value can exceed
  // `floor` (the samples around are too small), the sample's own magnitude is written
  // instead and the filter is skipped: a meter passes its peak so far, a limiter its
  // threshold.
  void framePeaks(const float* samples, std::uint32_t frames, float floor, float* peaks);

 private:
  std::uint32_t channels_;
  std::vector<float> history_;  // kSpan samples per channel, oldest first
  std::vector<float> line_;     // one channel: its history, then the chunk
};

// The true peak of a stream (the largest interpolated or sample magnitude of any channel).
class TruePeakMeter {
 public:
  explicit TruePeakMeter(std::uint32_t channels) : interpolator_(channels) {}
  void add(const float* samples, std::uint32_t frames);
  float peak() const { return peak_; }

 private:
  TruePeakInterpolator interpolator_;
  std::vector<float> peaks_;
  float peak_ = 0.0f;
};

// A look-ahead true-peak limiter: the output's interpolated peaks stay at or below
// `ceiling` (linear). One gain for all channels, computed ahead of the audio: the gain
// each interpolated value needs is held over the frames it depends on and the attack
// before them, then averaged over the attack, so the gain falls in a straight line over
// the attack and is at or below what every peak needs when the peak passes; it recovers
// with a slow exponential release. The audio leaves delayed by `latency()` frames.
class TruePeakLimiter {
 public:
  TruePeakLimiter(double sampleRate, std::uint32_t channels, double ceiling);

  // Limits `frames` interleaved frames in place and returns how many leave: the first
  // `latency()` frames of the stream stay inside until later calls or `drain`.
  std::uint32_t process(float* samples, std::uint32_t frames);
  // After the last input: writes the frames still inside (at most `latency()`) to
  // `samples`, which holds at least that many frames; 0 once drained.
  std::uint32_t drain(float* samples);
  std::uint32_t latency() const { return latency_; }

 private:
  std::uint32_t channels_;
  float ceiling_;
  std::uint32_t attack_;   // frames
  std::uint32_t hold_;     // frames: the attack and the interpolator's span
  std::uint32_t latency_;  // frames
  double release_;         // per-frame recovery factor of the gain's distance to 1
  TruePeakInterpolator interpolator_;
  std::vector<float> peaks_;
  // The delayed audio, `latency_` frames (a ring), and the gain pipeline's rings.
  std::vector<float> delay_;
  std::vector<float> needs_;        // gain each frame's peak needs, last `hold_` frames
  std::vector<std::uint64_t> minima_;  // frames whose needs rise (sliding minimum), a ring
  std::uint32_t minimaHead_ = 0, minimaSize_ = 0;
  std::vector<float> incoming_;       // the frame being taken in
  std::vector<float> held_;         // released held gains, last `attack_` frames
  double heldSum_ = 0.0;
  float released_ = 1.0f;
  std::uint64_t frame_ = 0;   // frames taken in
  bool drained_ = false;
};

}  // namespace vexal
