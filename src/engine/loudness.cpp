#include "engine/loudness.h"

#include <array>
#include <cmath>
#include <memory>
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

}  // namespace

KWeightingFilter KWeightingFilter::forSampleRate(double fs) {
  if (fs == 48000.0) {
    // The tabulated 48 kHz coefficients of ITU-R BS.1770.
    return KWeightingFilter{{1.5351249f, -2.6916962f, 1.1983929f, -1.6906593f, 0.73248076f},
                            {1.0f, -2.0f, 1.0f, -1.9900475f, 0.99007225f}};
  }
  KWeightingFilter filter;
  {
    // High shelf: f0 = 1681.974450955533 Hz, +3.999843853973347 dB, Q = 0.7071752369554196.
    const double w0 = 10568.157157295256 / fs;
    const double c = std::cos(w0);
    const double s = std::sin(w0);
    const double A = 1.2589140960092773;
    const double ap1 = 2.2589140960092773;
    const double am1 = 0.2589140960092773;
    const double alpha2SqrtA = (s / 1.4143504739108392) * 2.2440268233773653;
    const double a0 = ap1 - am1 * c + alpha2SqrtA;
    filter.stage1 = biquad(A * (ap1 + am1 * c + alpha2SqrtA) / a0,
                           -2.0 * A * (am1 + ap1 * c) / a0,
                           A * (ap1 + am1 * c - alpha2SqrtA) / a0,
                           2.0 * (am1 - ap1 * c) / a0,
                           (ap1 - am1 * c - alpha2SqrtA) / a0);
  }
  {
    // High pass: f0 = 38.13547087602444 Hz, Q = 0.5003270373238773.
    const double w0 = 239.6122302906118 / fs;
    const double c = std::cos(w0);
    const double alpha = std::sin(w0) / 1.0006540746477546;
    const double a0 = 1.0 + alpha;
    const double b0 = ((1.0 + c) * 0.5) / a0;
    filter.stage2 = biquad(b0, -(1.0 + c) / a0, b0, (-2.0 * c) / a0, (1.0 - alpha) / a0);
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
    return Unexpected(ConversionError::extAudioFileError("Read frame count", s));
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
      return Unexpected(ConversionError::extAudioFileError("Read for analysis", s));
    }
    if (frames == 0) break;

    const float* samples = a.buffer.data();
    const std::size_t count = std::size_t{frames} * channels;
    float chunkPeak = peak;
    double chunkSquares = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
      const float x = samples[i];
      chunkPeak = std::max(chunkPeak, std::fabs(x));
      chunkSquares += static_cast<double>(x) * x;
    }
    peak = chunkPeak;
    sumSquares += chunkSquares;
    sampleCount += static_cast<std::int64_t>(count);

    // K-weighting and the hop sums, a hop at a time so the inner loops stay simple.
    std::uint32_t done = 0;
    while (done < frames) {
      const std::uint32_t n = static_cast<std::uint32_t>(
          std::min<std::int64_t>(frames - done, hopFrames - hopPosition));
      for (std::uint32_t c = 0; c < channels; ++c) {
        KWeightingFilter filter = a.filters[c];  // a local copy keeps the state in registers
        const float* x = samples + std::size_t{done} * channels + c;
        double squares = 0.0;
        for (std::uint32_t i = 0; i < n; ++i) {
          const float y = filter.process(x[std::size_t{i} * channels]);
          squares += static_cast<double>(y) * y;
        }
        a.filters[c] = filter;
        a.hopPower[c] += squares;
      }
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
