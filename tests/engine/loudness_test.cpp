#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "engine/audio_processor.h"
#include "engine/engine_fixtures.h"
#include "engine/loudness.h"
#include "support/test_support.h"

namespace vexal {
namespace {

using test::Pcm;

// A 1 kHz sine in segments of (dBFS, seconds) on every channel; the per-channel levels
// of `channelOffsetDB` are added to each segment's level.
Pcm toneSequence(double rate, const std::vector<std::pair<double, double>>& segments,
                 const std::vector<double>& channelLevels = {0, 0}) {
  std::vector<Pcm> parts;
  const auto channels = static_cast<std::uint32_t>(channelLevels.size());
  std::int64_t offset = 0;
  for (const auto& [dbfs, seconds] : segments) {
    const auto frames = static_cast<std::int64_t>(std::llround(rate * seconds));
    parts.push_back(test::makePcm(rate, channels, frames, [&](std::int64_t i, std::uint32_t c) {
      const double amplitude = std::pow(10.0, (dbfs + channelLevels[c]) / 20.0);
      return static_cast<float>(amplitude *
                                std::sin(2 * std::numbers::pi * 1000.0 * (offset + i) / rate));
    }));
    offset += frames;
  }
  return test::concat(parts);
}

struct Tech3341Case {
  std::string name;
  std::vector<std::pair<double, double>> segments;
  std::vector<double> channelLevels;
  double expected;
};

void PrintTo(const Tech3341Case& c, std::ostream* os) { *os << c.name; }

// The integrated-loudness cases of EBU Tech 3341, at several sample rates.
class Tech3341 : public ::testing::TestWithParam<std::tuple<Tech3341Case, double>> {};

TEST_P(Tech3341, IntegratedLoudness) {
  const auto& [c, rate] = GetParam();
  test::TempDir dir;
  const Pcm signal = toneSequence(rate, c.segments, c.channelLevels);
  test::writeWav(dir / "case.wav", signal, 32);
  const auto result = analyzeLoudness(dir / "case.wav", {}, {}, {}, {});
  ASSERT_TRUE(result);
  EXPECT_NEAR(result->lufs, c.expected, 0.1);
  EXPECT_EQ(result->sampleRate, rate);
  EXPECT_EQ(result->channels, c.channelLevels.size());
}

const Tech3341Case kSine23{"sine23", {{-23, 20}}, {0, 0}, -23};
const Tech3341Case kSine33{"sine33", {{-33, 20}}, {0, 0}, -33};
const Tech3341Case kGated{"gated", {{-36, 10}, {-23, 60}, {-36, 10}}, {0, 0}, -23};
const Tech3341Case kAbsoluteGate{
    "absoluteGate", {{-72, 10}, {-36, 10}, {-23, 60}, {-36, 10}, {-72, 10}}, {0, 0}, -23};
const Tech3341Case kRelativeGate{"relativeGate", {{-26, 20}, {-20, 20.1}, {-26, 20}}, {0, 0}, -23};
// L, R at -28 dBFS, C at -24, Ls and Rs at -30 (5.0: FL FR FC BL BR).
const Tech3341Case kFiveChannel{"fiveChannel", {{0, 20}}, {-28, -28, -24, -30, -30}, -23};

std::string caseName(const ::testing::TestParamInfo<std::tuple<Tech3341Case, double>>& info) {
  return std::get<0>(info.param).name + "_" +
         std::to_string(static_cast<int>(std::get<1>(info.param)));
}

// Every case at the tabulated 48 kHz coefficients and at two rates that compute them.
INSTANTIATE_TEST_SUITE_P(Rates, Tech3341,
                         ::testing::Combine(::testing::Values(kSine23, kSine33, kGated,
                                                              kAbsoluteGate, kRelativeGate,
                                                              kFiveChannel),
                                            ::testing::Values(44100.0, 48000.0, 96000.0)),
                         caseName);

// libebur128 as an independent oracle on signals that are not steady tones.
Pcm pinkishNoise(double rate, double seconds) {
  std::mt19937 random(42);
  std::normal_distribution<double> white(0.0, 0.1);
  double state[2] = {0, 0};
  return test::makePcm(rate, 2, static_cast<std::int64_t>(rate * seconds),
                       [&](std::int64_t, std::uint32_t c) {
                         state[c] = 0.97 * state[c] + white(random);
                         return static_cast<float>(state[c] * 0.2);
                       });
}

// Chords with harmonics under a slow swell and short silences: level changes that
// exercise both gates.
Pcm musicLike(double rate, double seconds) {
  const double notes[] = {220.0, 277.18, 329.63, 440.0};
  std::mt19937 random(9);
  std::uniform_real_distribution<double> hiss(-1e-3, 1e-3);
  return test::makePcm(rate, 2, static_cast<std::int64_t>(rate * seconds),
                       [&](std::int64_t i, std::uint32_t c) {
                         const double t = i / rate;
                         const double bar = std::fmod(t, 4.0);
                         const double envelope = bar < 3.5 ? 0.05 + 0.4 * std::sin(std::numbers::pi * t / 13) * std::sin(std::numbers::pi * t / 13) : 0.0;
                         double x = 0;
                         for (int n = 0; n < 4; ++n) {
                           for (int h = 1; h <= 4; ++h) {
                             x += std::sin(2 * std::numbers::pi * notes[n] * h * (1 + 0.002 * c) * t) / (h * h);
                           }
                         }
                         return static_cast<float>(envelope * x * 0.2 + hiss(random));
                       });
}

class OracleTest : public ::testing::TestWithParam<std::tuple<std::string, double>> {};

TEST_P(OracleTest, AgreesWithLibebur128) {
  const auto& [kind, rate] = GetParam();
  test::TempDir dir;
  const Pcm signal = kind == "noise" ? pinkishNoise(rate, 30) : musicLike(rate, 40);
  test::writeWav(dir / "signal.wav", signal, 32);
  const auto result = analyzeLoudness(dir / "signal.wav", {}, {}, {}, {});
  ASSERT_TRUE(result);
  EXPECT_NEAR(result->lufs, test::ebur128Loudness(signal), 0.05);
}

INSTANTIATE_TEST_SUITE_P(Signals, OracleTest,
                         ::testing::Combine(::testing::Values("noise", "music"),
                                            ::testing::Values(44100.0, 48000.0)),
                         [](const auto& info) {
                           return std::get<0>(info.param) + "_" +
                                  std::to_string(static_cast<int>(std::get<1>(info.param)));
                         });

TEST(LoudnessTest, PeakAndRmsOfASine) {
  test::TempDir dir;
  test::writeWav(dir / "sine.wav", test::makeSine(44100, 2, 2.0, 1000, -7), 32);
  const auto result = analyzeLoudness(dir / "sine.wav", {}, {}, {}, {});
  ASSERT_TRUE(result);
  EXPECT_NEAR(result->peakDB, -7.0, 0.01);
  EXPECT_NEAR(result->rmsDB, -7.0 - 3.0103, 0.01);
}

TEST(LoudnessTest, DigitalSilence) {
  test::TempDir dir;
  test::writeWav(dir / "silence.wav", test::makeSilence(44100, 2, 44100), 16);
  const auto result = analyzeLoudness(dir / "silence.wav", {}, {}, {}, {});
  ASSERT_TRUE(result);
  EXPECT_EQ(result->peakDB, -100.0);
  EXPECT_EQ(result->lufs, -100.0);
  EXPECT_EQ(result->rmsDB, -INFINITY);
  EXPECT_NEAR(normalizationGain(*result, NormalizationMode::rms, -20), std::pow(10.0, 1.5), 1e-9);
}

TEST(LoudnessTest, RangeShorterThanABlockHasNoLoudness) {
  test::TempDir dir;
  test::writeWav(dir / "sine.wav", test::makeSine(44100, 2, 2.0, 1000, -10), 32);
  const auto result = analyzeLoudness(dir / "sine.wav", 1000, 1000 + 17000, {}, {});
  ASSERT_TRUE(result);
  EXPECT_EQ(result->lufs, -100.0);
  EXPECT_NEAR(result->peakDB, -10.0, 0.01);
}

TEST(LoudnessTest, MeasuresOnlyItsRange) {
  test::TempDir dir;
  const double rate = 48000;
  test::writeWav(dir / "two.wav", toneSequence(rate, {{-30, 5}, {-15, 5}}), 32);
  const auto quiet = analyzeLoudness(dir / "two.wav", 0, 240000, {}, {});
  const auto loud = analyzeLoudness(dir / "two.wav", 240000, {}, {}, {});
  ASSERT_TRUE(quiet && loud);
  EXPECT_NEAR(quiet->lufs, -30.0, 0.1);
  EXPECT_NEAR(loud->lufs, -15.0, 0.1);
  EXPECT_NEAR(loud->peakDB, -15.0, 0.01);
}

TEST(LoudnessTest, ProgressEndsAtThreeTenthsAndCancellationStops) {
  test::TempDir dir;
  test::writeWav(dir / "noise.wav", test::makeNoise(44100, 2, 8192 * 8, 16), 16);
  std::vector<double> reports;
  ASSERT_TRUE(analyzeLoudness(dir / "noise.wav", {}, {}, {},
                              [&](double p) { reports.push_back(p); }));
  ASSERT_EQ(reports.size(), 9u);
  EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
  EXPECT_EQ(reports.back(), 0.3);

  std::stop_source stop;
  int chunks = 0;
  const auto cancelled = analyzeLoudness(dir / "noise.wav", {}, {}, stop.get_token(), [&](double) {
    if (++chunks == 2) stop.request_stop();
  });
  ASSERT_FALSE(cancelled);
  EXPECT_EQ(cancelled.error(), ConversionError::cancelled());
  EXPECT_EQ(chunks, 2);
}

TEST(LoudnessTest, UnreadableSource) {
  test::TempDir dir;
  const auto result = analyzeLoudness(dir / "missing.wav", {}, {}, {}, {});
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), ConversionError::fileNotReadable(dir / "missing.wav"));
}

TEST(LoudnessTest, FixedCoefficientsAt48kComputedElsewhere) {
  const auto at48 = KWeightingFilter::forSampleRate(48000);
  EXPECT_EQ(at48.stage1.b0, 1.5351249f);
  EXPECT_EQ(at48.stage1.a2, 0.73248076f);
  EXPECT_EQ(at48.stage2.a1, -1.9900475f);
  // The computed design lands on the tabulated values at 48 kHz within float rounding.
  const auto near48 = KWeightingFilter::forSampleRate(48000.000001);
  EXPECT_NEAR(near48.stage1.b0, 1.5351249f, 1e-5);
  EXPECT_NEAR(near48.stage1.b1, -2.6916962f, 1e-5);
  EXPECT_NEAR(near48.stage2.a2, 0.99007225f, 1e-5);
  const auto at44 = KWeightingFilter::forSampleRate(44100);
  EXPECT_NE(at44.stage1.b0, at48.stage1.b0);
}

TEST(LoudnessTest, GateOverBlockPowers) {
  EXPECT_EQ(integratedLoudness({}), -100.0);
  EXPECT_EQ(integratedLoudness({1e-8, 1e-9}), -100.0);  // all below -70 LUFS
  // One loud block and one 20 dB below it: the relative gate drops the quiet one.
  EXPECT_NEAR(integratedLoudness({0.01, 0.0001}), -0.691 - 20.0, 1e-9);
}

struct GainCase {
  NormalizationMode mode;
  double target;
  double expected;
};

class GainTest : public ::testing::TestWithParam<GainCase> {};

TEST_P(GainTest, Rules) {
  const LoudnessResult result{-7.0, -12.0, -20.0, 44100, 2};
  EXPECT_NEAR(normalizationGain(result, GetParam().mode, GetParam().target), GetParam().expected,
              1e-9);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GainTest,
    ::testing::Values(GainCase{NormalizationMode::peak, -1.0, std::pow(10.0, 6.0 / 20)},
                      GainCase{NormalizationMode::rms, -18.0, std::pow(10.0, -6.0 / 20)},
                      GainCase{NormalizationMode::lufs, -14.0, std::pow(10.0, 6.0 / 20)},
                      GainCase{NormalizationMode::lufs, 25.0, std::pow(10.0, 30.0 / 20)},
                      GainCase{NormalizationMode::lufs, -80.0, 0.001},
                      GainCase{NormalizationMode::lufs, -79.0, std::pow(10.0, -59.0 / 20)},
                      GainCase{NormalizationMode::lufs, std::nan(""), 1.0}));

// A normalised conversion lands where asked, measured on the written file.
TEST(NormalizedConversionTest, LufsTarget) {
  test::TempDir dir;
  const Pcm source = musicLike(44100, 12);
  test::writeWav(dir / "music.wav", source, 32);
  ConversionSettings settings;
  settings.preserveMetadata = false;
  settings.normalizationMode = NormalizationMode::lufs;
  settings.normalizationTarget = -16.0;
  ASSERT_TRUE(AudioProcessor::convert(dir / "music.wav", dir / "out.wav", OutputFormat::wav,
                                      settings, {}, {}, {}));
  const Pcm out = test::readWav(dir / "out.wav").pcm;
  EXPECT_NEAR(test::ebur128Loudness(out), -16.0, 0.1);
  const auto measured = analyzeLoudness(dir / "out.wav", {}, {}, {}, {});
  ASSERT_TRUE(measured);
  EXPECT_NEAR(measured->lufs, -16.0, 0.1);
}

TEST(NormalizedConversionTest, PeakTarget) {
  test::TempDir dir;
  test::writeWav(dir / "sine.wav", test::makeSine(44100, 2, 3.0, 997, -13.3), 32);
  ConversionSettings settings;
  settings.preserveMetadata = false;
  settings.normalizationMode = NormalizationMode::peak;
  settings.normalizationTarget = -1.0;
  ASSERT_TRUE(AudioProcessor::convert(dir / "sine.wav", dir / "out.wav", OutputFormat::wav,
                                      settings, {}, {}, {}));
  EXPECT_NEAR(test::peakDBFS(test::readWav(dir / "out.wav").pcm), -1.0, 0.01);
}

}  // namespace
}  // namespace vexal
