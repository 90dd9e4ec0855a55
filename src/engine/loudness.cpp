#include "engine/loudness.h"

#include <array>
#include <cmath>
#include <memory>
#include <numbers>
#include <numeric>

#include "engine/chunk_reader.h"
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

// What one analysis owns; released on every path when it goes out of scope.
struct Analysis {
  std::unique_ptr<platform::AudioFileReader> reader;
  std::vector<float> buffer;
  std::vector<KWeightingFilter> filters;
  std::vector<double> weights;
  std::vector<double> hopPower;  // per channel, K-weighted sum of squares of the current hop
};

float peakOf(const float* samples, std::size_t count) {
  float peak = 0.0f;
  for (std::size_t i = 0; i < count; ++i) peak = std::max(peak, std::fabs(samples[i]));
  return peak;
}

// Four running sums, so that the additions do not wait on each other.
double sumOfSquares(const float* samples, std::size_t count) {
  double sums[4] = {0.0, 0.0, 0.0, 0.0};
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    for (std::size_t k = 0; k < 4; ++k) {
      sums[k] += static_cast<double>(samples[i + k]) * samples[i + k];
    }
  }
  for (; i < count; ++i) sums[0] += static_cast<double>(samples[i]) * samples[i];
  return (sums[0] + sums[1]) + (sums[2] + sums[3]);
}

// K-weights n frames of one channel (stride `channels`) and adds the squares of the
// outputs, widened to 64 bits, to `power`. The filter state is kept in locals.
void filterOne(KWeightingFilter& filter, const float* x, std::uint32_t channels,
               std::uint32_t n, double& power) {
  KWeightingFilter f = filter;
  double squares = 0.0;
  for (std::uint32_t i = 0; i < n; ++i) {
    const float y = f.process(x[std::size_t{i} * channels]);
    squares += static_cast<double>(y) * y;
  }
  filter = f;
  power += squares;
}

void filterPair(KWeightingFilter& first, KWeightingFilter& second, const float* x,
                std::uint32_t channels, std::uint32_t n, double& firstPower,
                double& secondPower) {
  KWeightingFilter f0 = first;
  KWeightingFilter f1 = second;
  double squares0 = 0.0;
  double squares1 = 0.0;
  for (std::uint32_t i = 0; i < n; ++i) {
    const float* frame = x + std::size_t{i} * channels;
    const float y0 = f0.process(frame[0]);
    const float y1 = f1.process(frame[1]);
    squares0 += static_cast<double>(y0) * y0;
    squares1 += static_cast<double>(y1) * y1;
  }
  first = f0;
  second = f1;
  firstPower += squares0;
  secondPower += squares1;
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
  Analysis a;
  if (platform::AudioFileReader::open(source, a.reader) != platform::kNoError || !a.reader) {
    return Unexpected(ConversionError::fileNotReadable(source));
  }
  platform::StreamDescription format;
  if (const auto s = a.reader->getFileDataFormat(format); s != platform::kNoError) {
    return Unexpected(ConversionError::extAudioFileError("Read format", s));
  }
  std::int64_t fileFrames = 0;
  if (const auto s = a.reader->getFileLengthFrames(fileFrames); s != platform::kNoError) {
    return Unexpected(readFailure(*a.reader, "Read frame count", s));
  }
  const double fs = format.sampleRate;
  const std::uint32_t channels = format.channelsPerFrame;
  if (!isSupportedClientFormat(fs, channels)) {
    return Unexpected(ConversionError::extAudioFileError("Set client format for analysis",
                                                         platform::kStatusBadClientFormat));
  }
  if (const auto s = a.reader->setClientFormat(platform::floatClientFormat(fs, channels));
      s != platform::kNoError) {
    return Unexpected(ConversionError::extAudioFileError("Set client format for analysis", s));
  }
  if (start) {
    if (const auto s = a.reader->seek(*start); s != platform::kNoError) {
      return Unexpected(ConversionError::extAudioFileError("Seek for analysis", s));
    }
  }
  const std::int64_t first = start.value_or(0);
  const std::int64_t total = end.value_or(fileFrames) - first;
  // An explicit end at or before the start is an empty range; an unknown length reads
  // to the end of the file.
  const bool bounded = end.has_value() || fileFrames > 0;

  a.buffer.assign(static_cast<std::size_t>(kChunkFrames) * channels, 0.0f);
  a.filters.assign(channels, KWeightingFilter::forSampleRate(fs));
  a.weights = channelWeights(channels);
  a.hopPower.assign(channels, 0.0);
  // 100 ms hops, rounded to whole frames; a block is four consecutive hops.
  const std::int64_t hopFrames = std::max<std::int64_t>(1, std::llround(fs / 10.0));
  const double blockFrames = static_cast<double>(hopFrames * kHopsPerBlock);
  std::array<double, kHopsPerBlock> recentHops{};  // weighted channel sums, ring
  std::int64_t hopsDone = 0;
  std::int64_t hopPosition = 0;
  std::vector<double> blockPowers;

  float peak = 0.0f;
  double sumSquares = 0.0;
  std::int64_t sampleCount = 0;

  if (stop.stop_requested()) return Unexpected(ConversionError::cancelled());
  std::int64_t framesRead = 0;
  for (;;) {
    std::uint32_t frames = kChunkFrames;
    if (bounded) {
      const std::int64_t remaining = total - framesRead;
      if (remaining <= 0) break;
      frames = static_cast<std::uint32_t>(std::min<std::int64_t>(remaining, kChunkFrames));
    }
    if (const auto s = a.reader->read(a.buffer.data(), frames); s != platform::kNoError) {
      return Unexpected(readFailure(*a.reader, "Read for analysis", s));
    }
    if (frames == 0) break;

    const float* samples = a.buffer.data();
    const std::size_t count = std::size_t{frames} * channels;
    peak = std::max(peak, peakOf(samples, count));
    sumSquares += sumOfSquares(samples, count);
    sampleCount += static_cast<std::int64_t>(count);

    // K-weighting and the hop sums, a hop at a time so the inner loops stay simple.
    std::uint32_t done = 0;
    while (done < frames) {
      const std::uint32_t n = static_cast<std::uint32_t>(
          std::min<std::int64_t>(frames - done, hopFrames - hopPosition));
      const float* x = samples + std::size_t{done} * channels;
      std::uint32_t c = 0;
      // Two channels per pass: the filter recursion is bound by latency, so two
      // independent chains in one loop run in about the time of one.
      for (; c + 1 < channels; c += 2) {
        filterPair(a.filters[c], a.filters[c + 1], x + c, channels, n, a.hopPower[c],
                   a.hopPower[c + 1]);
      }
      if (c < channels) filterOne(a.filters[c], x + c, channels, n, a.hopPower[c]);
      done += n;
      hopPosition += n;
      if (hopPosition == hopFrames) {
        double weighted = 0.0;
        for (std::uint32_t c = 0; c < channels; ++c) {
          weighted += a.weights[c] * a.hopPower[c];
          a.hopPower[c] = 0.0;
        }
        recentHops[static_cast<std::size_t>(hopsDone % kHopsPerBlock)] = weighted;
        ++hopsDone;
        hopPosition = 0;
        if (hopsDone >= kHopsPerBlock) {
          const double sum = std::accumulate(recentHops.begin(), recentHops.end(), 0.0);
          blockPowers.push_back(sum / blockFrames);
        }
      }
    }

    framesRead += frames;
    if (progress && total > 0) {
      progress(0.3 * static_cast<double>(framesRead) / static_cast<double>(total));
    }
    if (stop.stop_requested()) return Unexpected(ConversionError::cancelled());
  }

  LoudnessResult result;
  result.peakDB = peak > 0.0f ? 20.0 * std::log10(static_cast<double>(peak)) : -100.0;
  result.rmsDB = sampleCount >= 1
                     ? 10.0 * std::log10(sumSquares / static_cast<double>(sampleCount))
                     : -100.0;
  result.lufs = integratedLoudness(blockPowers);
  result.sampleRate = fs;
  result.channels = channels;
  if (progress) progress(0.3);
  return result;
}

double normalizationGain(const LoudnessResult& result, NormalizationMode mode, double target) {
  double measured = result.lufs;
  switch (mode) {
    case NormalizationMode::peak: measured = result.peakDB; break;
    case NormalizationMode::rms: measured = result.rmsDB; break;
    case NormalizationMode::lufs:
    case NormalizationMode::off: break;
  }
  const double d = target - measured;
  double gain = std::pow(10.0, std::min(d, 30.0) / 20.0);
  if (d <= -60.0) gain = 0.001;
  if (!(gain > 0.0) || !std::isfinite(gain)) gain = 1.0;
  return gain;
}

}  // namespace vexal
