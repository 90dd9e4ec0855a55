#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include "encode_test_util.h"
#include "engine/audio_processor.h"
#include "support/test_support.h"

#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif

namespace vexal {
namespace {

using test::InputKind;

constexpr double kTableSeconds = 0.1;

ConversionSettings plainSettings(OutputFormat format) {
  ConversionSettings settings;
  settings.preserveMetadata = false;
  settings.enabledFormats = {format};
  return settings;
}

// The rate a decoder reports for an output made from `rate`: Opus always decodes at
// 48 kHz; AAC goes up to 96 kHz, MP3 and Vorbis up to 48 kHz.
double expectedRate(OutputFormat format, double rate) {
  switch (format) {
    case OutputFormat::opus: return 48000;
    case OutputFormat::aac: return std::min(rate, 96000.0);
    case OutputFormat::mp3:
    case OutputFormat::vorbis: return std::min(rate, 48000.0);
    default: return rate;
  }
}

// Every format at every common rate from mono, stereo and 5.1 with default settings:
// it converts, decodes at the rate and channel count its encoder takes, with the
// source's duration; a rate the encoder does not take is resampled.
class EncoderLimitsTable : public ::testing::TestWithParam<std::tuple<double, std::uint32_t>> {};

TEST_P(EncoderLimitsTable, EveryFormatConverts) {
  const auto [rate, channels] = GetParam();
  test::TempDir dir;
  const auto signal = test::noise(rate, channels, kTableSeconds, -6.0, 3);
  const auto source = test::writeAudio(dir.path(), "source", signal, InputKind::wav24);
  for (const OutputFormat format : kAllOutputFormats) {
    SCOPED_TRACE(std::string(rawValue(format)));
    const auto output = dir / ("out." + std::string(rawValue(format)) + "." + std::string(fileExtension(format)));
    const auto converted =
        AudioProcessor::convert(source, output, format, plainSettings(format), {}, {}, {});
    ASSERT_TRUE(converted) << converted.error().errorDescription();
    const auto decoded = test::decodeFile(output);
    const double outRate = expectedRate(format, rate);
    EXPECT_EQ(decoded.sampleRate, outRate);
    EXPECT_EQ(decoded.channels, isLossy(format) && format != OutputFormat::aac ? std::min(channels, 2u) : channels);
    const double expectedFrames = static_cast<double>(signal.frames) * outRate / rate;
    // Lossless outputs keep every frame; lossy ones within a resampler's rounding.
    EXPECT_NEAR(static_cast<double>(decoded.frames()), expectedFrames, isLossy(format) ? 2.0 : 0.0);
  }
}

INSTANTIATE_TEST_SUITE_P(RatesAndLayouts, EncoderLimitsTable,
                         ::testing::Combine(::testing::Values(8000, 11025, 16000, 22050, 32000, 44100, 48000,
                                                              88200, 96000, 176400, 192000),
                                            ::testing::Values(1u, 2u, 6u)),
                         [](const auto& info) {
                           return std::to_string(static_cast<int>(std::get<0>(info.param))) + "Hz_" +
                                  std::to_string(std::get<1>(info.param)) + "ch";
                         });

// Every channel of a 5.1 or 7.1 source carries the same full-scale tone, the LFE a
// full-scale low one that the downmix drops: the stereo result is the tone itself in
// every format, at full scale and not above, at the same loudness.
class DownmixTest : public ::testing::TestWithParam<std::tuple<OutputFormat, std::uint32_t>> {};

TEST_P(DownmixTest, StereoIsTheToneAtFullScale) {
  const auto [format, channels] = GetParam();
  constexpr double kRate = 48000;
  constexpr int kLfeChannel = 3;  // in the 5.1 and 7.1 orders alike
  test::TempDir dir;
  const test::Signal signal{kRate, channels, static_cast<std::int64_t>(0.4 * kRate),
                            [](std::int64_t frame, std::uint32_t channel) {
                              const double hz = channel == kLfeChannel ? 60.0 : 1000.0;
                              return static_cast<float>(std::sin(2.0 * M_PI * hz * frame / kRate));
                            }};
  const auto source = test::writeAudio(dir.path(), "surround", signal, InputKind::wavFloat);
  auto settings = plainSettings(format);
  settings.customChannels = 2;
  const auto output = dir / ("out." + std::string(fileExtension(format)));
  ASSERT_TRUE(AudioProcessor::convert(source, output, format, settings, {}, {}, {}));
  const auto decoded = test::decodeFile(output);
  ASSERT_EQ(decoded.channels, 2u);
  // Lossy codecs ring past a full-scale tone (AAC by 0.48 dB); the unscaled downmix
  // peaks 3 dB over.
  EXPECT_LE(test::peakDbfs(decoded), isLossy(format) ? 0.6 : 0.0);
  EXPECT_NEAR(test::rmsDbfs(decoded), -3.01, 0.5);
}

INSTANTIATE_TEST_SUITE_P(Formats, DownmixTest,
                         ::testing::Combine(::testing::ValuesIn(kAllOutputFormats), ::testing::Values(6u, 8u)),
                         [](const auto& info) {
                           return std::string(rawValue(std::get<0>(info.param))) + "_" +
                                  std::to_string(std::get<1>(info.param)) + "ch";
                         });

// Six channels kept in Vorbis and Opus (mapping family 1) come back on their own
// speakers: each channel carries its own tone.
class SurroundOrderTest : public ::testing::TestWithParam<OutputFormat> {};

TEST_P(SurroundOrderTest, EveryChannelKeepsItsTone) {
  constexpr double kRate = 48000;
  constexpr double kTones[] = {400, 600, 800, 100, 1000, 1200};  // LFE low, 4th as in 5.1
  test::TempDir dir;
  const test::Signal signal{kRate, 6, static_cast<std::int64_t>(0.5 * kRate),
                            [&](std::int64_t frame, std::uint32_t channel) {
                              return static_cast<float>(0.5 * std::sin(2.0 * M_PI * kTones[channel] * frame / kRate));
                            }};
  const auto source = test::writeAudio(dir.path(), "tones", signal, InputKind::wav16);
  auto settings = plainSettings(GetParam());
  settings.customChannels = 6;
  const auto output = dir / ("out." + std::string(fileExtension(GetParam())));
#ifdef __SANITIZE_ADDRESS__
  __lsan_disable();  // libvorbis's 5.1 setup leaks one block of its own (libvorbis 1.3.7)
#endif
  const auto converted = AudioProcessor::convert(source, output, GetParam(), settings, {}, {}, {});
#ifdef __SANITIZE_ADDRESS__
  __lsan_enable();
#endif
  ASSERT_TRUE(converted) << converted.error().errorDescription();
  const auto decoded = test::decodeFile(output);
  ASSERT_EQ(decoded.channels, 6u);
  for (std::uint32_t c = 0; c < 6; ++c) EXPECT_NEAR(test::frequencyOf(decoded, c), kTones[c], kTones[c] * 0.05) << c;
}

INSTANTIATE_TEST_SUITE_P(Formats, SurroundOrderTest, ::testing::Values(OutputFormat::vorbis, OutputFormat::opus),
                         [](const auto& info) { return std::string(rawValue(info.param)); });

}  // namespace
}  // namespace vexal
