#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <memory>
#include <string>
#include <vector>

#include "engine/audio_processor.h"
#include "engine/loudness.h"
#include "support/loudness_oracle.h"
#include "support/test_support.h"

namespace vexal {
namespace {

using test::InputKind;

// A 1 kHz sine in segments of (dBFS, seconds); `channelLevels` (dB) are added to each
// segment's level per channel.
test::Signal toneSequence(double rate, const std::vector<std::pair<double, double>>& segments,
                          const std::vector<double>& channelLevels = {0, 0}) {
  std::vector<std::pair<std::int64_t, double>> ends;  // (end frame, dBFS)
  std::int64_t frames = 0;
  for (const auto& [dbfs, seconds] : segments) ends.emplace_back(frames += std::llround(rate * seconds), dbfs);
  return test::Signal{rate, static_cast<std::uint32_t>(channelLevels.size()), frames,
                      [=](std::int64_t i, std::uint32_t c) {
                        double dbfs = ends.back().second;
                        for (const auto& [end, level] : ends) {
                          if (i < end) {
                            dbfs = level;
                            break;
                          }
                        }
                        const double amplitude = std::pow(10.0, (dbfs + channelLevels[c]) / 20.0);
                        return static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * 1000.0 * i / rate));
                      }};
}

using test::ebur128Loudness;

std::filesystem::path floatWav(const test::TempDir& dir, const test::Signal& signal) {
  return test::writeAudio(dir.path(), "signal", signal, InputKind::wavFloat);
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
  const auto result = analyzeLoudness(floatWav(dir, toneSequence(rate, c.segments, c.channelLevels)), {}, {}, {}, {});
  ASSERT_TRUE(result);
  EXPECT_NEAR(result->lufs, c.expected, 0.1);
  EXPECT_EQ(result->sampleRate, rate);
  EXPECT_EQ(result->channels, c.channelLevels.size());
}

const Tech3341Case kSine23{"sine23", {{-23, 20}}, {0, 0}, -23};
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

// Every case at the tabulated 48 kHz coefficients and at a rate that computes them.
INSTANTIATE_TEST_SUITE_P(Rates, Tech3341,
                         ::testing::Combine(::testing::Values(kSine23, kGated, kAbsoluteGate,
                                                              kRelativeGate, kFiveChannel),
                                            ::testing::Values(44100.0, 48000.0)),
                         caseName);

// Chords with harmonics under a slow swell and short silences: level changes that
// exercise both gates.
test::Signal swellingMusic(double rate, double seconds) {
  const auto chords = test::musicLike(rate, 2, seconds);
  return test::Signal{rate, 2, chords.frames, [=](std::int64_t i, std::uint32_t c) {
                        const double t = i / rate;
                        const double swell = std::sin(std::numbers::pi * t / 13);
                        const double envelope = std::fmod(t, 4.0) < 3.5 ? 0.05 + 0.6 * swell * swell : 0.0;
                        return static_cast<float>(envelope * chords.sample(i, c));
                      }};
}

class OracleTest : public ::testing::TestWithParam<std::tuple<std::string, double>> {};

TEST_P(OracleTest, AgreesWithLibebur128) {
  const auto& [kind, rate] = GetParam();
  test::TempDir dir;
  // Libebur128 as an independent oracle on signals that are not steady tones; 5.1 noise
  // whose LFE (not counted) is as loud as the rest; a clip of exactly one 400 ms block.
  const auto file = floatWav(dir, kind == "noise"      ? test::noise(rate, 2, 30, -12)
                                  : kind == "surround" ? test::noise(rate, 6, 5, -12)
                                  : kind == "oneBlock" ? test::noise(rate, 2, 0.4, -12)
                                                       : swellingMusic(rate, 20));
  const auto result = analyzeLoudness(file, {}, {}, {}, {});
  ASSERT_TRUE(result);
  EXPECT_NEAR(result->lufs, ebur128Loudness(file), 0.05);
}

INSTANTIATE_TEST_SUITE_P(Signals, OracleTest,
                         ::testing::Combine(::testing::Values("noise", "music", "surround", "oneBlock"),
                                            ::testing::Values(44100.0, 48000.0)),
                         [](const auto& info) {
                           return std::get<0>(info.param) + "_" +
                                  std::to_string(static_cast<int>(std::get<1>(info.param)));
                         });

TEST(LoudnessTest, PeakAndRmsOfASine) {
  test::TempDir dir;
  const auto result = analyzeLoudness(floatWav(dir, test::sine(44100, 2, 2.0, 1000, -7)), {}, {}, {}, {});
  ASSERT_TRUE(result);
  EXPECT_NEAR(result->peakDB, -7.0, 0.01);
  EXPECT_NEAR(result->rmsDB, -7.0 - 3.0103, 0.01);
}

TEST(LoudnessTest, DigitalSilence) {
  test::TempDir dir;
  const auto result = analyzeLoudness(floatWav(dir, test::silence(44100, 2, 1.0)), {}, {}, {}, {});
  ASSERT_TRUE(result);
  EXPECT_EQ(result->peakDB, -100.0);
  EXPECT_EQ(result->lufs, -100.0);
  EXPECT_EQ(result->rmsDB, -INFINITY);
  EXPECT_NEAR(normalizationGain(*result, NormalizationMode::rms, -20), std::pow(10.0, 1.5), 1e-9);
}

TEST(LoudnessTest, RangeShorterThanABlockHasNoLoudness) {
  test::TempDir dir;
  const auto result = analyzeLoudness(floatWav(dir, test::sine(44100, 2, 2.0, 1000, -10)), 1000, 1000 + 17000, {}, {});
  ASSERT_TRUE(result);
  EXPECT_EQ(result->lufs, -100.0);
  EXPECT_NEAR(result->peakDB, -10.0, 0.01);
}

TEST(LoudnessTest, MeasuresOnlyItsRange) {
  test::TempDir dir;
  const double rate = 48000;
  const auto file = floatWav(dir, toneSequence(rate, {{-30, 5}, {-15, 5}}));
  const auto quiet = analyzeLoudness(file, 0, 240000, {}, {});
  const auto loud = analyzeLoudness(file, 240000, {}, {}, {});
  ASSERT_TRUE(quiet && loud);
  EXPECT_NEAR(quiet->lufs, -30.0, 0.1);
  EXPECT_NEAR(loud->lufs, -15.0, 0.1);
  EXPECT_NEAR(loud->peakDB, -15.0, 0.01);
}

TEST(LoudnessTest, ProgressEndsAtThreeTenthsAndCancellationStops) {
  test::TempDir dir;
  const auto file = floatWav(dir, test::noise(44100, 2, 8192 * 8 / 44100.0, -1));
  std::vector<double> reports;
  ASSERT_TRUE(analyzeLoudness(file, {}, {}, {},
                              [&](double p) { reports.push_back(p); }));
  ASSERT_EQ(reports.size(), 9u);
  EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
  EXPECT_EQ(reports.back(), 0.3);

  std::stop_source stop;
  int chunks = 0;
  const auto cancelled = analyzeLoudness(file, {}, {}, stop.get_token(), [&](double) {
    if (++chunks == 2) stop.request_stop();
  });
  ASSERT_FALSE(cancelled);
  EXPECT_EQ(cancelled.error(), ConversionError::cancelled());
  EXPECT_EQ(chunks, 2);
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
                      GainCase{NormalizationMode::lufs, -80.0, 0.001},
                      GainCase{NormalizationMode::lufs, std::nan(""), 1.0}));

// A normalised conversion lands where asked, measured on the written file.
class NormalizedConversionTest : public ::testing::TestWithParam<std::pair<NormalizationMode, double>> {};

TEST_P(NormalizedConversionTest, LandsOnTheTarget) {
  const auto [mode, target] = GetParam();
  test::TempDir dir;
  ConversionSettings settings;
  settings.preserveMetadata = false;
  settings.normalizationMode = mode;
  settings.normalizationTarget = target;
  const auto output = dir / "out.wav";
  ASSERT_TRUE(AudioProcessor::convert(floatWav(dir, swellingMusic(44100, 12)), output, OutputFormat::wav,
                                      settings, {}, {}, {}));
  if (mode == NormalizationMode::peak) {
    EXPECT_NEAR(test::peakDbfs(test::decodeFile(output)), target, 0.01);
  } else {
    EXPECT_NEAR(ebur128Loudness(output), target, 0.1);
    const auto measured = analyzeLoudness(output, {}, {}, {}, {});
    ASSERT_TRUE(measured);
    EXPECT_NEAR(measured->lufs, target, 0.1);
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, NormalizedConversionTest,
                         ::testing::Values(std::pair{NormalizationMode::lufs, -16.0},
                                           std::pair{NormalizationMode::peak, -1.0}));

}  // namespace
}  // namespace vexal
