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

using test::ebur128Loudness;

std::filesystem::path floatWav(const test::TempDir& dir, const test::Signal& signal) {
  return test::writeAudio(dir.path(), "signal", signal, InputKind::wavFloat);
}

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
  // Libebur128 as an independent oracle on signals that are not steady tones: mono noise
  // (an odd channel), chords under a swell, 5.1 noise whose LFE (not counted) is as loud
  // as the rest; a clip of exactly one 400 ms block.
  const auto file = floatWav(dir, kind == "mono"       ? test::noise(rate, 1, 10, -12)
                                  : kind == "surround" ? test::noise(rate, 6, 5, -12)
                                  : kind == "oneBlock" ? test::noise(rate, 2, 0.4, -12)
                                                       : swellingMusic(rate, 20));
  const auto result = analyzeLoudness(file, {}, {}, {}, {});
  ASSERT_TRUE(result);
  EXPECT_NEAR(result->lufs, ebur128Loudness(file), 0.05);
}

INSTANTIATE_TEST_SUITE_P(Signals, OracleTest,
                         ::testing::Combine(::testing::Values("mono", "music", "surround", "oneBlock"),
                                            ::testing::Values(44100.0, 48000.0)),
                         [](const auto& info) {
                           return std::get<0>(info.param) + "_" +
                                  std::to_string(static_cast<int>(std::get<1>(info.param)));
                         });

TEST(LoudnessTest, DigitalSilence) {
  test::TempDir dir;
  const auto result = analyzeLoudness(floatWav(dir, test::silence(44100, 2, 1.0)), {}, {}, {}, {});
  ASSERT_TRUE(result);
  EXPECT_EQ(result->peakDB, -100.0);
  EXPECT_EQ(result->lufs, -100.0);
  EXPECT_EQ(result->rmsDB, -INFINITY);
  EXPECT_NEAR(normalizationGain(*result, NormalizationMode::rms, -20), std::pow(10.0, 1.5), 1e-9);
}

// Peak, RMS and loudness of a range only; a range shorter than a block has no loudness.
TEST(LoudnessTest, MeasuresOnlyItsRange) {
  test::TempDir dir;
  const double rate = 48000;
  // A 1 kHz sine at -30 dBFS for 5 s, then at -15 dBFS for 5 s.
  const auto file = floatWav(dir, test::Signal{rate, 2, 480000, [=](std::int64_t i, std::uint32_t) {
                               const double amplitude = std::pow(10.0, (i < 240000 ? -30.0 : -15.0) / 20.0);
                               return static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * 1000.0 * i / rate));
                             }});
  const auto quiet = analyzeLoudness(file, 0, 240000, {}, {});
  const auto loud = analyzeLoudness(file, 240000, {}, {}, {});
  const auto short_ = analyzeLoudness(file, 300000, 300000 + 17000, {}, {});  // under one block
  ASSERT_TRUE(quiet && loud && short_);
  EXPECT_NEAR(quiet->lufs, -30.0, 0.1);
  EXPECT_NEAR(quiet->peakDB, -30.0, 0.01);
  EXPECT_NEAR(quiet->rmsDB, -30.0 - 3.0103, 0.01);
  EXPECT_NEAR(loud->lufs, -15.0, 0.1);
  EXPECT_NEAR(loud->peakDB, -15.0, 0.01);
  EXPECT_EQ(short_->lufs, -100.0);
  EXPECT_NEAR(short_->peakDB, -15.0, 0.01);
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
                                           std::pair{NormalizationMode::peak, -3.0}));

}  // namespace
}  // namespace vexal
