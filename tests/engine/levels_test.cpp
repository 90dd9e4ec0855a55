#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <regex>
#include <string>
#include <vector>

#include "engine/audio_processor.h"
#include "engine/loudness.h"
#include "engine/true_peak.h"
#include "platform/logging.h"
#include "support/loudness_oracle.h"
#include "support/test_support.h"

namespace vexal {
namespace {

constexpr double kCeiling = -1.0;  // dBTP, the default
constexpr double kTarget = -9.0;   // LUFS

// How far a decoded output's true peak may pass the ceiling, in dB. Lossless outputs
// hold it up to the difference between libebur128's interpolator and ours; lossy codecs
// add their own overshoot (up to 0.35 dB here, AAC), which the 1 dB of headroom of the
// default ceiling absorbs.
double overshootAllowed(OutputFormat format) { return isLossy(format) ? 0.5 : 0.05; }

// A loud master: 3 s of pink noise peaking at -3.3 dBFS (about -13 LUFS), 24-bit.
std::filesystem::path loudMaster(const test::TempDir& dir) {
  return test::writeAudio(dir.path(), "master", test::pinkNoise(44100, 2, 3.0, -3.3), test::InputKind::wav24);
}

// Converts with the engine, collecting what it logs.
struct Converted {
  std::filesystem::path output;
  std::vector<std::string> logged;
};
Converted convertLogged(const std::filesystem::path& source, const test::TempDir& dir, OutputFormat format,
                        const ConversionSettings& settings) {
  Converted converted{dir / ("out." + std::string(fileExtension(format))), {}};
  const auto previous = platform::setLogSink(
      [&](platform::LogCategory, platform::LogLevel, std::string_view line) { converted.logged.emplace_back(line); });
  const auto result = AudioProcessor::convert(source, converted.output, format, settings, {}, {}, {});
  platform::setLogSink(previous);
  EXPECT_TRUE(result.has_value()) << (result ? "" : result.error().errorDescription());
  return converted;
}

ConversionSettings toMinus9(OutputFormat format, bool limiter) {
  ConversionSettings settings;
  settings.enabledFormats = {format};
  settings.preserveMetadata = false;
  settings.normalizationMode = NormalizationMode::lufs;
  settings.normalizationTarget = kTarget;
  settings.truePeakLimiter = limiter;
  return settings;
}

class NeverClip : public testing::TestWithParam<OutputFormat> {};

// Normalised without the limiter, the gain stops where the true peak meets the ceiling,
// and the log says what was reached instead of the target.
TEST_P(NeverClip, GainHeldAtTheCeilingAndTheReachedLoudnessLogged) {
  test::TempDir dir;
  const auto converted = convertLogged(loudMaster(dir), dir, GetParam(), toMinus9(GetParam(), false));
  EXPECT_LE(test::ebur128TruePeakDB(converted.output), kCeiling + overshootAllowed(GetParam()));
  ASSERT_EQ(converted.logged.size(), 1u);
  std::smatch reached;
  ASSERT_TRUE(std::regex_search(converted.logged[0], reached,
                                std::regex(R"(-9\.0 LUFS requested, (-[0-9]+\.[0-9]) LUFS reached: true-peak ceiling -1 dBTP$)")))
      << converted.logged[0];
  // Lossy codecs take off some loudness of their own (AAC 0.3 LU of this noise's treble).
  EXPECT_NEAR(std::stod(reached[1]), test::ebur128Loudness(converted.output), isLossy(GetParam()) ? 0.35 : 0.1);
  EXPECT_LT(std::stod(reached[1]), kTarget - 1.0);
}

INSTANTIATE_TEST_SUITE_P(EveryFormat, NeverClip, testing::ValuesIn(kAllOutputFormats),
                         [](const auto& info) { return std::string(rawValue(info.param)); });

class Limiter : public testing::TestWithParam<OutputFormat> {};

// With the limiter the target is reached under the same ceiling, and the look-ahead
// delay costs no frame at either end.
TEST_P(Limiter, ReachesTheTargetUnderTheCeiling) {
  test::TempDir dir;
  const auto source = loudMaster(dir);
  const auto converted = convertLogged(source, dir, GetParam(), toMinus9(GetParam(), true));
  EXPECT_TRUE(converted.logged.empty()) << converted.logged.front();
  EXPECT_NEAR(test::ebur128Loudness(converted.output), kTarget, 0.2);
  EXPECT_LE(test::ebur128TruePeakDB(converted.output), kCeiling + overshootAllowed(GetParam()));
  const auto decoded = test::decodeFile(converted.output);
  EXPECT_EQ(decoded.frames(), std::llround(3.0 * decoded.sampleRate));
}

// Lossless outputs, and MP3 (16-bit samples into LAME). On this noise, limited by 4 dB
// throughout, other codecs decode up to 1.3 dB over the ceiling (Opus) and AAC 0.3 LU
// quieter.
INSTANTIATE_TEST_SUITE_P(Formats, Limiter, testing::Values(OutputFormat::flac, OutputFormat::wav, OutputFormat::mp3),
                         [](const auto& info) { return std::string(rawValue(info.param)); });

// A steady tone 4 dB over the ceiling comes out at the ceiling under a steady gain: the
// gain holds between the tone's crests (even 12 ms apart, at 40 Hz) instead of
// recovering and falling again, which would modulate the tone.
TEST(TruePeakLimiter, SteadyToneGetsASteadyGainUnderTheCeiling) {
  constexpr double kRate = 44100;
  const double ceiling = std::pow(10.0, kCeiling / 20.0);
  for (const double hz : {40.0, 1000.0}) {
    TruePeakLimiter limiter(kRate, 1, ceiling);
    const auto tone = test::render(test::sine(kRate, 1, 1.0, hz, kCeiling + 4.0));
    std::vector<float> out = tone;
    std::uint32_t produced = limiter.process(out.data(), static_cast<std::uint32_t>(out.size()));
    out.resize(out.size() + limiter.latency());
    produced += limiter.drain(out.data() + produced);
    ASSERT_EQ(produced, tone.size());
    out.resize(produced);
    TruePeakMeter meter(1);
    meter.add(out.data(), produced);
    EXPECT_LE(20 * std::log10(meter.peak()), kCeiling) << hz << " Hz";
    // The gain applied to each sample away from the zero crossings, after 100 ms.
    std::vector<double> gains;
    for (std::size_t i = 4410; i < out.size(); ++i) {
      if (std::fabs(tone[i]) > 0.3) gains.push_back(20 * std::log10(out[i] / tone[i]));
    }
    const auto [low, high] = std::ranges::minmax(gains);
    EXPECT_LT(high - low, 0.3) << hz << " Hz";
    EXPECT_NEAR(low, -4.0, 0.5) << hz << " Hz";
  }
}

// A track's loudness kept as a histogram gives its loudness, and an album's histograms
// added up give the album's, as the blocks themselves do.
TEST(LoudnessHistogram, GatesLikeTheBlocksItCounts) {
  test::TempDir dir;
  std::vector<double> pooled;
  LoudnessHistogram album;
  for (const double dbfs : {-8.0, -30.0}) {
    const auto chords = test::musicLike(44100, 2, 3.0);
    const double gain = std::pow(10.0, dbfs / 20.0);
    const test::Signal swelling{44100, 2, chords.frames, [=](std::int64_t i, std::uint32_t c) {
                                  return static_cast<float>(gain * (0.2 + i / 132300.0) * chords.sample(i, c));
                                }};
    LoudnessMeter meter(44100, 2);
    const auto samples = test::render(swelling);
    meter.add(samples.data(), static_cast<std::uint32_t>(swelling.frames));
    meter.finish();
    const auto track = LoudnessHistogram::of(meter.blockPowers());
    EXPECT_NEAR(track.integratedLoudness(), integratedLoudness(meter.blockPowers()), 0.02);
    album.add(track);
    pooled.insert(pooled.end(), meter.blockPowers().begin(), meter.blockPowers().end());
  }
  EXPECT_NEAR(album.integratedLoudness(), integratedLoudness(pooled), 0.02);
  EXPECT_EQ(LoudnessHistogram::of({}).integratedLoudness(), -100.0);
}

}  // namespace
}  // namespace vexal
