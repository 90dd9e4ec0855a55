#include "engine/loudness.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <numbers>
#include <numeric>

#include "engine/chunk_reader.h"
#include "engine/true_peak.h"
#include "platform/audio_file.h"

namespace vexal {

namespace {

// Gating of ITU-R BS.1770-4 / EBU R128: 400 ms blocks, a new one every 100 ms (75 %
// overlap), absolute gate at -70 LUFS, relative gate 10 LU below the gated mean.
constexpr double kLoudnessOffset = -0.691;  // dB, so that a 997 Hz sine reads its level
constexpr double kAbsoluteGateLUFS = -70.0;
constexpr double kRelativeGateLU = -10.0;
constexpr int kHopsPerBlock = 4;           // 4 x 100 ms = 400 ms
constexpr double kSurroundWeight = 1.41;   // +1.5 dB for the surround channels

double powerToLoudness(double power) { return kLoudnessOffset + 10.0 * std::log10(power); }
double loudnessToPower(double lufs) { return std::pow(10.0, (lufs - kLoudnessOffset) / 10.0); }

// Channel weights of BS.1770 for FFmpeg's default layout of each channel count:
// 4 = FL FR FC BC, 5 = FL FR FC BL BR, 6 = FL FR FC LFE BL BR,
// 7 = FL FR FC LFE BC SL SR, 8 = FL FR FC LFE BL BR SL SR. The LFE does not count.
std::vector<double> channelWeights(std::uint32_t channels) {
  std::vector<double> weights(channels, 1.0);
  if (channels >= 4) {
    for (std::uint32_t c = 3; c < channels; ++c) weights[c] = kSurroundWeight;
  }
  if (channels >= 6) weights[3] = 0.0;
  return weights;
}

BiquadFilter biquad(double b0, double b1, double b2, double a1, double a2) {
  return BiquadFilter{static_cast<float>(b0), static_cast<float>(b1), static_cast<float>(b2),
                      static_cast<float>(a1), static_cast<float>(a2)};
}

// Four float lanes and two double lanes: GCC's generic vectors, SSE2 registers on x86-64.
using F4 = float __attribute__((vector_size(16)));
using D2 = double __attribute__((vector_size(16)));
using I4 = std::int32_t __attribute__((vector_size(16)));

F4 load(const std::array<float, 4>& lanes) { return F4{lanes[0], lanes[1], lanes[2], lanes[3]}; }
void store(F4 v, std::array<float, 4>& lanes) { lanes = {v[0], v[1], v[2], v[3]}; }

// Sums of one pair of channels over a stretch of frames.
struct PairSums {
  D2 weighted{};  // squares of the two K-weighted outputs
  D2 squares{};   // squares of the two inputs
  F4 peak{};      // lanes 0 and 1: largest absolute input
};

// Squares are summed in floats over runs this long, then in doubles: a 32-term float
// sum is exact to about 2e-6, and the loop spends no instructions on widening.
constexpr std::uint32_t kFloatRun = 32;

// Runs `n` frames of channels x0 and x1 (stride `channels`) through both K-weighting
// stages of the pair. The biquad is the transposed direct form II rewritten as a state
// update driven by the input (z1' = z2 + c1 x - a1 z1, z2' = c2 x - a2 z1 with
// c1 = b1 - a1 b0, c2 = b2 - a2 b0): the recursion waits on one multiply and one
// subtraction per frame instead of four operations, and one vector step serves both
// stages of both channels. No branches in the loop. `Adjacent`: x1 = x0 + 1, so one
// 64-bit load fetches the pair.
template <bool Adjacent>
void runPair(LoudnessMeter::Lanes& lanes, const std::array<std::array<float, 4>, 5>& k,
             const float* x0, const float* x1, std::size_t stride, std::uint32_t n,
             PairSums& sums) {
  const F4 b0 = load(k[0]), c1 = load(k[1]), c2 = load(k[2]), a1 = load(k[3]), a2 = load(k[4]);
  F4 z1 = load(lanes.z1), z2 = load(lanes.z2), held = load(lanes.held);
  const I4 absMask = {0x7fffffff, 0x7fffffff, 0x7fffffff, 0x7fffffff};
  F4 peak = sums.peak;
  for (std::uint32_t done = 0; done < n;) {
    const std::uint32_t run = std::min(kFloatRun, n - done);
    F4 inSquares{}, outSquares{};
    for (std::uint32_t i = done; i < done + run; ++i) {
      F4 x;
      if constexpr (Adjacent) {
        double both;  // the two floats' bits, one 64-bit load
        std::memcpy(&both, x0 + i * stride, sizeof both);
        x = reinterpret_cast<F4>(D2{both, 0.0});
      } else {
        x = F4{x0[i * stride], x1[i * stride], 0.0f, 0.0f};
      }
      // Lanes 0 and 1 take the new frame, lanes 2 and 3 the shelf's previous outputs.
      const F4 in = __builtin_shuffle(x, held, I4{0, 1, 4, 5});
      const F4 y = b0 * in + z1;
      const F4 next = (z2 + c1 * in) - a1 * z1;
      z2 = c2 * in - a2 * z1;
      z1 = next;
      held = y;
      inSquares += in * in;     // lanes 0, 1: the inputs
      outSquares += y * y;      // lanes 2, 3: the K-weighted outputs
      const F4 magnitude = reinterpret_cast<F4>(reinterpret_cast<I4>(in) & absMask);
      peak = magnitude > peak ? magnitude : peak;
    }
    sums.squares += D2{inSquares[0], inSquares[1]};
    sums.weighted += D2{outSquares[2], outSquares[3]};
    done += run;
  }
  store(z1, lanes.z1);
  store(z2, lanes.z2);
  store(held, lanes.held);
  sums.peak = peak;
}

}  // namespace

KWeightingFilter KWeightingFilter::forSampleRate(double fs) {
  if (fs == 48000.0) {
    // The tabulated 48 kHz coefficients of ITU-R BS.1770.
    return KWeightingFilter{{1.5351249f, -2.6916962f, 1.1983929f, -1.6906593f, 0.73248076f},
                            {1.0f, -2.0f, 1.0f, -1.9900475f, 0.99007225f}};
  }
  // Other rates: the bilinear-transform design whose 48 kHz result is the tabulated
  // filter above (K = tan(pi f0 / fs)). The Audio EQ Cookbook shelf with the same f0,
  // gain and Q reads about 0.22 dB low at 1 kHz, which a 0.1 LU tolerance cannot absorb.
  KWeightingFilter filter;
  {
    // High shelf: f0 = 1681.974450955533 Hz, +3.999843853973347 dB, Q = 0.7071752369554196.
    const double K = std::tan(std::numbers::pi * 1681.974450955533 / fs);
    const double Q = 0.7071752369554196;
    const double Vh = std::pow(10.0, 3.999843853973347 / 20.0);
    const double Vb = std::pow(Vh, 0.4996667741545416);
    const double a0 = 1.0 + K / Q + K * K;
    filter.stage1 = biquad((Vh + Vb * K / Q + K * K) / a0, 2.0 * (K * K - Vh) / a0,
                           (Vh - Vb * K / Q + K * K) / a0, 2.0 * (K * K - 1.0) / a0,
                           (1.0 - K / Q + K * K) / a0);
  }
  {
    // High pass: f0 = 38.13547087602444 Hz, Q = 0.5003270373238773; numerator 1, -2, 1
    // as in the tabulated filter.
    const double K = std::tan(std::numbers::pi * 38.13547087602444 / fs);
    const double Q = 0.5003270373238773;
    const double a0 = 1.0 + K / Q + K * K;
    filter.stage2 = biquad(1.0, -2.0, 1.0, 2.0 * (K * K - 1.0) / a0, (1.0 - K / Q + K * K) / a0);
  }
  return filter;
}

double integratedLoudness(const std::vector<double>& blockPowers) {
  const double absoluteGate = loudnessToPower(kAbsoluteGateLUFS);
  double sum = 0;
  std::size_t kept = 0;
  for (double power : blockPowers) {
    if (power > absoluteGate) {
      sum += power;
      ++kept;
    }
  }
  if (kept == 0) return -100.0;
  const double relativeGate =
      loudnessToPower(powerToLoudness(std::max(sum / static_cast<double>(kept), 1e-10)) +
                      kRelativeGateLU);
  sum = 0;
  kept = 0;
  for (double power : blockPowers) {
    if (power > absoluteGate && power > relativeGate) {
      sum += power;
      ++kept;
    }
  }
  if (kept == 0) return -100.0;
  return powerToLoudness(std::max(sum / static_cast<double>(kept), 1e-10));
}

Expected<LoudnessResult> analyzeLoudness(const std::filesystem::path& source,
                                         std::optional<std::int64_t> start,
                                         std::optional<std::int64_t> end, std::stop_token stop,
                                         const ProgressCallback& progress) {
  std::unique_ptr<platform::AudioFileReader> reader;
  if (platform::AudioFileReader::open(source, reader) != platform::kNoError || !reader) {
    return Unexpected(ConversionError::fileNotReadable(source));
  }
  platform::StreamDescription format;
  if (const auto s = reader->getFileDataFormat(format); s != platform::kNoError) {
    return Unexpected(ConversionError::extAudioFileError("Read format", s));
  }
  std::int64_t fileFrames = 0;
  if (const auto s = reader->getFileLengthFrames(fileFrames); s != platform::kNoError) {
    return Unexpected(readFailure(*reader, "Read frame count", s));
  }
  const double fs = format.sampleRate;
  const std::uint32_t channels = format.channelsPerFrame;
  if (!isSupportedClientFormat(fs, channels)) {
    return Unexpected(ConversionError::extAudioFileError("Set client format for analysis",
                                                         platform::kStatusBadClientFormat));
  }
  if (const auto s = reader->setClientFormat(platform::floatClientFormat(fs, channels));
      s != platform::kNoError) {
    return Unexpected(ConversionError::extAudioFileError("Set client format for analysis", s));
  }
  if (start) {
    if (const auto s = reader->seek(*start); s != platform::kNoError) {
      return Unexpected(ConversionError::extAudioFileError("Seek for analysis", s));
    }
  }
  const std::int64_t first = start.value_or(0);
  const std::int64_t total = end.value_or(fileFrames) - first;
  // An explicit end at or before the start is an empty range; an unknown length reads
  // to the end of the file.
  const bool bounded = end.has_value() || fileFrames > 0;

  std::vector<float> buffer(static_cast<std::size_t>(kChunkFrames) * channels, 0.0f);
  LoudnessMeter meter(fs, channels);
  TruePeakMeter truePeak(channels);
  if (stop.stop_requested()) return Unexpected(ConversionError::cancelled());
  std::int64_t framesRead = 0;
  for (;;) {
    std::uint32_t frames = kChunkFrames;
    if (bounded) {
      const std::int64_t remaining = total - framesRead;
      if (remaining <= 0) break;
      frames = static_cast<std::uint32_t>(std::min<std::int64_t>(remaining, kChunkFrames));
    }
    if (const auto s = reader->read(buffer.data(), frames); s != platform::kNoError) {
      return Unexpected(readFailure(*reader, "Read for analysis", s));
    }
    if (frames == 0) break;
    meter.add(buffer.data(), frames);
    truePeak.add(buffer.data(), frames);
    framesRead += frames;
    if (progress && total > 0) {
      progress(0.3 * static_cast<double>(framesRead) / static_cast<double>(total));
    }
    if (stop.stop_requested()) return Unexpected(ConversionError::cancelled());
  }
  meter.finish();
  if (progress) progress(0.3);
  LoudnessResult result = meter.result();
  if (truePeak.peak() > 0.0f) result.truePeakDB = 20.0 * std::log10(static_cast<double>(truePeak.peak()));
  return result;
}

LoudnessMeter::LoudnessMeter(double sampleRate, std::uint32_t channels)
    : channels_(channels),
      sampleRate_(sampleRate),
      pairs_((channels + 1) / 2),
      weights_(channelWeights(channels)),
      hopPower_(channels, 0.0),
      // 100 ms hops, rounded to whole frames; a block is four consecutive hops.
      hopFrames_(std::max<std::int64_t>(1, std::llround(sampleRate / 10.0))) {
  const KWeightingFilter filter = KWeightingFilter::forSampleRate(sampleRate);
  for (std::size_t lane = 0; lane < 4; ++lane) {
    const BiquadFilter& f = lane < 2 ? filter.stage1 : filter.stage2;
    coefficients_[0][lane] = f.b0;
    coefficients_[1][lane] = static_cast<float>(double{f.b1} - double{f.a1} * f.b0);
    coefficients_[2][lane] = static_cast<float>(double{f.b2} - double{f.a2} * f.b0);
    coefficients_[3][lane] = f.a1;
    coefficients_[4][lane] = f.a2;
  }
}

void LoudnessMeter::add(const std::int16_t* samples, std::uint32_t frames) {
  constexpr float kScale = 1.0f / 32768.0f;
  converted_.resize(std::size_t{frames} * channels_);
  for (std::size_t i = 0; i < converted_.size(); ++i) {
    converted_[i] = static_cast<float>(samples[i]) * kScale;
  }
  add(converted_.data(), frames);
}

void LoudnessMeter::add(const float* samples, std::uint32_t frames) {
  std::uint32_t done = 0;
  // A hop at a time, so that the hop sums close between two runs of the kernel.
  while (done < frames) {
    const auto n = static_cast<std::uint32_t>(
        std::min<std::int64_t>(frames - done, hopFrames_ - hopPosition_));
    const float* x = samples + std::size_t{done} * channels_;
    for (std::uint32_t pair = 0; pair < pairs_.size(); ++pair) {
      const std::uint32_t c0 = 2 * pair;
      const bool twin = c0 + 1 < channels_;  // else the odd last channel fills both lanes
      const std::uint32_t c1 = twin ? c0 + 1 : c0;
      PairSums sums;
      if (twin) {
        runPair<true>(pairs_[pair], coefficients_, x + c0, x + c1, channels_, n, sums);
      } else {
        runPair<false>(pairs_[pair], coefficients_, x + c0, x + c1, channels_, n, sums);
      }
      hopPower_[c0] += sums.weighted[0];
      sumSquares_ += sums.squares[0];
      peak_ = std::max(peak_, sums.peak[0]);
      if (twin) {
        hopPower_[c1] += sums.weighted[1];
        sumSquares_ += sums.squares[1];
        peak_ = std::max(peak_, sums.peak[1]);
      }
    }
    done += n;
    hopPosition_ += n;
    if (hopPosition_ == hopFrames_) closeHop();
  }
  sampleCount_ += static_cast<std::int64_t>(frames) * channels_;
}

void LoudnessMeter::finish() {
  if (sampleCount_ == 0) return;
  // The high pass still owes the output of the last frame.
  for (std::uint32_t pair = 0; pair < pairs_.size(); ++pair) {
    const Lanes& lanes = pairs_[pair];
    for (std::uint32_t lane = 0; lane < 2 && 2 * pair + lane < channels_; ++lane) {
      const float y = coefficients_[0][2 + lane] * lanes.held[lane] + lanes.z1[2 + lane];
      hopPower_[2 * pair + lane] += static_cast<double>(y) * y;
    }
  }
  if (++hopPosition_ == hopFrames_) closeHop();
}

void LoudnessMeter::closeHop() {
  double weighted = 0.0;
  for (std::uint32_t c = 0; c < channels_; ++c) {
    weighted += weights_[c] * hopPower_[c];
    hopPower_[c] = 0.0;
  }
  recentHops_[static_cast<std::size_t>(hopsDone_ % kHopsPerBlock)] = weighted;
  ++hopsDone_;
  hopPosition_ = 0;
  if (hopsDone_ >= kHopsPerBlock) {
    const double sum = std::accumulate(recentHops_.begin(), recentHops_.end(), 0.0);
    blocks_.push_back(sum / static_cast<double>(hopFrames_ * kHopsPerBlock));
  }
}

LoudnessResult LoudnessMeter::result() const {
  LoudnessResult result;
  result.peakDB = peak_ > 0.0f ? 20.0 * std::log10(static_cast<double>(peak_)) : -100.0;
  result.rmsDB = sampleCount_ >= 1
                     ? 10.0 * std::log10(sumSquares_ / static_cast<double>(sampleCount_))
                     : -100.0;
  result.lufs = integratedLoudness(blocks_);
  result.sampleRate = sampleRate_;
  result.channels = channels_;
  return result;
}

double measuredLevel(const LoudnessResult& result, NormalizationMode mode) {
  switch (mode) {
    case NormalizationMode::peak: return result.peakDB;
    case NormalizationMode::rms: return result.rmsDB;
    case NormalizationMode::lufs:
    case NormalizationMode::off: break;
  }
  return result.lufs;
}

double normalizationGain(const LoudnessResult& result, NormalizationMode mode, double target) {
  const double d = target - measuredLevel(result, mode);
  double gain = std::pow(10.0, std::min(d, 30.0) / 20.0);
  if (d <= -60.0) gain = 0.001;
  if (!(gain > 0.0) || !std::isfinite(gain)) gain = 1.0;
  return gain;
}

NormalizationPlan planNormalization(const LoudnessResult& result, NormalizationMode mode,
                                    double target, double ceilingDB) {
  NormalizationPlan plan;
  plan.gain = normalizationGain(result, mode, target);
  // Silence has no true peak, and gains are linear: the output's true peak is the
  // source's times the gain (at the source's rate).
  if (result.truePeakDB > -100.0) {
    const double headroom = std::pow(10.0, (ceilingDB - result.truePeakDB) / 20.0);
    if (headroom < plan.gain) {
      plan.gain = headroom;
      plan.heldByCeiling = true;
    }
  }
  plan.reached = measuredLevel(result, mode) + 20.0 * std::log10(plan.gain);
  return plan;
}

std::string ceilingNote(NormalizationMode mode, double target, double reached, double ceilingDB) {
  const std::string unitText(unit(mode));
  char text[160];
  std::snprintf(text, sizeof text, "%.1f %s requested, %.1f %s reached: true-peak ceiling %g dBTP", target,
                unitText.c_str(), reached, unitText.c_str(), ceilingDB);
  return text;
}

LoudnessHistogram LoudnessHistogram::of(const std::vector<double>& blockPowers) {
  LoudnessHistogram histogram;
  const double absoluteGate = loudnessToPower(kAbsoluteGateLUFS);
  for (const double power : blockPowers) {
    if (!(power > absoluteGate)) continue;
    const double bin = std::floor((powerToLoudness(power) - kFloorLUFS) / kBinLU);
    ++histogram.counts[static_cast<std::size_t>(std::clamp(bin, 0.0, static_cast<double>(kBins - 1)))];
  }
  return histogram;
}

void LoudnessHistogram::add(const LoudnessHistogram& other) {
  for (std::size_t i = 0; i < kBins; ++i) counts[i] += other.counts[i];
}

double LoudnessHistogram::integratedLoudness() const {
  const auto centre = [](std::size_t bin) {
    return loudnessToPower(kFloorLUFS + (static_cast<double>(bin) + 0.5) * kBinLU);
  };
  // The same two gates as over the blocks themselves, each bin standing for its centre.
  const auto gatedMean = [&](double gate) -> std::optional<double> {
    double sum = 0.0;
    std::uint64_t kept = 0;
    for (std::size_t bin = 0; bin < kBins; ++bin) {
      if (counts[bin] == 0 || !(centre(bin) > gate)) continue;
      sum += static_cast<double>(counts[bin]) * centre(bin);
      kept += counts[bin];
    }
    if (kept == 0) return std::nullopt;
    return std::max(sum / static_cast<double>(kept), 1e-10);
  };
  const auto ungated = gatedMean(loudnessToPower(kAbsoluteGateLUFS));
  if (!ungated) return -100.0;
  const auto gated = gatedMean(loudnessToPower(powerToLoudness(*ungated) + kRelativeGateLU));
  return gated ? powerToLoudness(*gated) : -100.0;
}

}  // namespace vexal
