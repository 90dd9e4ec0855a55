#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include "engine/audio_processor.h"
#include "engine/engine_fixtures.h"
#include "support/test_support.h"

namespace vexal {
namespace {

using test::Pcm;

ConversionSettings plainSettings() {
  ConversionSettings settings;
  settings.preserveMetadata = false;
  return settings;
}

Expected<> convertFile(const std::filesystem::path& source, const std::filesystem::path& output,
                       OutputFormat format, const ConversionSettings& settings,
                       std::optional<std::int64_t> start = {},
                       std::optional<std::int64_t> end = {},
                       ProgressCallback progress = {}, std::stop_token stop = {}) {
  return AudioProcessor::convert(source, output, format, settings, start, end,
                                 std::move(progress), stop);
}

// Lossless outputs hold exactly the source's integer samples, at 16 and 24 bits, from
// sources written by FFmpeg's own encoders.
class LosslessRoundTrip
    : public ::testing::TestWithParam<std::tuple<OutputFormat, test::InputKind>> {};

TEST_P(LosslessRoundTrip, IsBitExact) {
  const auto [format, kind] = GetParam();
  test::TempDir dir;
  const auto signal = test::noise(44100, 2, 0.7, -1.0, 11);
  const auto source = test::writeAudio(dir.path(), "source", signal, kind);
  const auto output = dir / ("out." + std::string(fileExtension(format)));

  ASSERT_TRUE(convertFile(source, output, format, plainSettings()));

  const Pcm decoded = test::decode(output);
  EXPECT_EQ(decoded.rate, 44100);
  EXPECT_EQ(decoded.channels, 2u);
  ASSERT_EQ(decoded.frames(), signal.frames);
  EXPECT_EQ(decoded.samples, test::quantised(signal, test::bitDepthOf(kind)));
}

INSTANTIATE_TEST_SUITE_P(
    Formats, LosslessRoundTrip,
    ::testing::Combine(::testing::Values(OutputFormat::wav, OutputFormat::aiff,
                                         OutputFormat::flac, OutputFormat::alac),
                       ::testing::Values(test::InputKind::wav16, test::InputKind::flac16,
                                         test::InputKind::wav24, test::InputKind::flac24)),
    [](const auto& info) {
      return std::string(rawValue(std::get<0>(info.param))) + "_from_" +
             test::nameOf(std::get<1>(info.param));
    });

TEST(ConversionTest, CueRangeConvertsExactlyItsSourceFrames) {
  test::TempDir dir;
  const Pcm source = test::makeNoise(44100, 2, 900000, 16, 7);
  test::writeWav(dir / "album.wav", source, 16);

  ASSERT_TRUE(convertFile(dir / "album.wav", dir / "track.wav", OutputFormat::wav,
                          plainSettings(), 441000, 882000));

  const Pcm out = test::readWav(dir / "track.wav").pcm;
  ASSERT_EQ(out.frames(), 441000);
  const auto first = source.samples.begin() + 441000 * 2;
  EXPECT_TRUE(std::equal(out.samples.begin(), out.samples.end(), first));
}

TEST(ConversionTest, ResamplingKeepsDurationAndPitch) {
  test::TempDir dir;
  test::writeWav(dir / "tone.wav", test::makeSine(44100, 1, 2.0, 1000, -6), 24);
  auto settings = plainSettings();
  settings.customSampleRate = 48000;

  ASSERT_TRUE(convertFile(dir / "tone.wav", dir / "out.wav", OutputFormat::wav, settings));

  const Pcm out = test::readWav(dir / "out.wav").pcm;
  EXPECT_EQ(out.rate, 48000);
  EXPECT_EQ(out.frames(), 96000);
  // Rising zero crossings over the middle second count the cycles of the tone.
  int crossings = 0;
  for (std::int64_t i = 24001; i < 72001; ++i) {
    if (out.at(i - 1, 0) < 0 && out.at(i, 0) >= 0) ++crossings;
  }
  EXPECT_NEAR(crossings, 1000, 1);
}

class AACBitrate : public ::testing::TestWithParam<std::int64_t> {};

TEST_P(AACBitrate, LandsNearTheAskedRate) {
  test::TempDir dir;
  const double seconds = 10;
  // Noise keeps the encoder busy at every rate.
  test::writeWav(dir / "noise.wav", test::makeNoise(44100, 2, 441000, 16, 3), 16);
  auto settings = plainSettings();
  settings.customBitrate = GetParam();

  ASSERT_TRUE(convertFile(dir / "noise.wav", dir / "out.m4a", OutputFormat::aac, settings));

  const double bitsPerSecond =
      static_cast<double>(std::filesystem::file_size(dir / "out.m4a")) * 8 / seconds;
  EXPECT_NEAR(bitsPerSecond, static_cast<double>(GetParam()), 0.1 * static_cast<double>(GetParam()));
  EXPECT_NEAR(test::decode(dir / "out.m4a").frames(), 441000, 0);
}

INSTANTIATE_TEST_SUITE_P(Rates, AACBitrate, ::testing::Values(128000, 256000));

TEST(ConversionTest, WavIs24BitLittleEndianAndAiffBigEndian) {
  test::TempDir dir;
  // One known sample value: 0x123456 / 2^23 on both channels of the first frame.
  const float value = static_cast<float>(0x123456) / 8388608.0f;
  const Pcm source = test::makePcm(44100, 2, 100, [&](std::int64_t i, std::uint32_t) {
    return i == 0 ? value : 0.0f;
  });
  test::writeWav(dir / "source.wav", source, 24);

  ASSERT_TRUE(convertFile(dir / "source.wav", dir / "out.wav", OutputFormat::wav, plainSettings()));
  const auto wav = test::readWav(dir / "out.wav");
  EXPECT_EQ(wav.formatTag, 1);
  EXPECT_EQ(wav.bitsPerSample, 24);
  EXPECT_EQ(wav.blockAlign, 6);
  ASSERT_EQ(wav.pcm.frames(), 100);
  EXPECT_EQ(wav.pcm.at(0, 0), value);

  ASSERT_TRUE(
      convertFile(dir / "source.wav", dir / "out.aiff", OutputFormat::aiff, plainSettings()));
  const auto bytes = test::readBytes(dir / "out.aiff");
  ASSERT_GT(bytes.size(), 12u);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "FORM");
  EXPECT_EQ(std::string(bytes.begin() + 8, bytes.begin() + 12), "AIFF");
  const std::string text(bytes.begin(), bytes.end());
  const auto ssnd = text.find("SSND");
  ASSERT_NE(ssnd, std::string::npos);
  // SSND: id, size, offset, block size, then the first sample, most significant byte first.
  EXPECT_EQ(bytes[ssnd + 16], 0x12);
  EXPECT_EQ(bytes[ssnd + 17], 0x34);
  EXPECT_EQ(bytes[ssnd + 18], 0x56);
  EXPECT_EQ(text.size() - (ssnd + 16), 600u);
}

TEST(ConversionTest, ExplicitEmptyRangeGivesAnEmptyFile) {
  test::TempDir dir;
  test::writeWav(dir / "source.wav", test::makeNoise(44100, 2, 20000, 16), 16);
  ASSERT_TRUE(convertFile(dir / "source.wav", dir / "out.wav", OutputFormat::wav, plainSettings(),
                          1000, 1000));
  const auto wav = test::readWav(dir / "out.wav");
  EXPECT_EQ(wav.bitsPerSample, 24);
  EXPECT_EQ(wav.pcm.frames(), 0);
}

TEST(ConversionTest, ExistingOutputIsReplaced) {
  test::TempDir dir;
  test::writeWav(dir / "source.wav", test::makeNoise(44100, 1, 1000, 16), 16);
  test::writeBytes(dir / "out.wav", std::vector<std::uint8_t>(500000, 0xAB));
  ASSERT_TRUE(convertFile(dir / "source.wav", dir / "out.wav", OutputFormat::wav, plainSettings()));
  EXPECT_EQ(test::readWav(dir / "out.wav").pcm.frames(), 1000);
}

// Broken sources fail with the error the user is shown, and never crash.
struct BrokenSource {
  std::string name;
  std::function<std::vector<std::uint8_t>(const std::vector<std::uint8_t>&)> make;
};

class BrokenSourceTest : public ::testing::TestWithParam<BrokenSource> {};

TEST_P(BrokenSourceTest, FailsAsUnreadable) {
  test::TempDir dir;
  test::writeWav(dir / "good.wav", test::makeNoise(44100, 2, 44100, 16), 16);
  const auto bytes = GetParam().make(test::readBytes(dir / "good.wav"));
  if (!bytes.empty() || GetParam().name == "empty") test::writeBytes(dir / "bad.wav", bytes);

  const auto result = convertFile(dir / "bad.wav", dir / "out.flac", OutputFormat::flac,
                                  plainSettings());
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), ConversionError::fileNotReadable(dir / "bad.wav"));
  EXPECT_EQ(result.error().errorDescription(), "Cannot read file: bad.wav");
  EXPECT_FALSE(std::filesystem::exists(dir / "out.flac"));
}

INSTANTIATE_TEST_SUITE_P(
    Files, BrokenSourceTest,
    ::testing::Values(
        BrokenSource{"missing", [](const auto&) { return std::vector<std::uint8_t>{}; }},
        BrokenSource{"empty", [](const auto&) { return std::vector<std::uint8_t>{}; }},
        BrokenSource{"random",
                     [](const auto&) {
                       std::vector<std::uint8_t> noise(100000);
                       std::uint32_t x = 12345;
                       for (auto& b : noise) b = static_cast<std::uint8_t>((x = x * 1103515245 + 12345) >> 16);
                       return noise;
                     }},
        BrokenSource{"truncatedHeader",
                     [](const auto& good) {
                       return std::vector<std::uint8_t>(good.begin(), good.begin() + 20);
                     }}),
    [](const auto& info) { return info.param.name; });

TEST(ConversionTest, TruncatedDataConvertsWhatIsThereOrFails) {
  test::TempDir dir;
  test::writeWav(dir / "good.wav", test::makeNoise(44100, 2, 44100, 16), 16);
  auto bytes = test::readBytes(dir / "good.wav");
  bytes.resize(bytes.size() / 2);
  test::writeBytes(dir / "cut.wav", bytes);
  const auto result = convertFile(dir / "cut.wav", dir / "out.wav", OutputFormat::wav,
                                  plainSettings());
  if (result) {
    EXPECT_LE(test::readWav(dir / "out.wav").pcm.frames(), 22050);
  } else {
    EXPECT_NE(result.error().kind(), ConversionError::Kind::cancelled);
  }
}

TEST(ConversionTest, HostileChannelCountsAndRatesFail) {
  test::TempDir dir;
  test::writeWav(dir / "source.wav", test::makeNoise(44100, 2, 1000, 16), 16);
  for (std::uint32_t channels : {0u, 9u, 1u << 20, 0xFFFFFFFFu}) {
    auto settings = plainSettings();
    settings.customChannels = channels;
    const auto result = convertFile(dir / "source.wav", dir / "out.wav", OutputFormat::wav, settings);
    ASSERT_FALSE(result) << channels;
    if (channels == 9) {
      EXPECT_EQ(result.error().errorDescription(), "Unsupported format: 9 channels at 44100 Hz");
    }
  }
  for (double rate : {0.0, -44100.0, 1e12, std::nan(""), double{INFINITY}}) {
    auto settings = plainSettings();
    settings.customSampleRate = rate;
    EXPECT_FALSE(convertFile(dir / "source.wav", dir / "out.wav", OutputFormat::wav, settings))
        << rate;
  }
  for (double seconds : {double{INFINITY}, std::nan(""), 1e300}) {
    auto settings = plainSettings();
    settings.fadeOutSeconds = seconds;
    EXPECT_FALSE(convertFile(dir / "source.wav", dir / "out.wav", OutputFormat::wav, settings))
        << seconds;
  }
}

TEST(ConversionTest, StepNamesOfTheContainerWriter) {
  test::TempDir dir;
  test::writeWav(dir / "source.wav", test::makeNoise(44100, 2, 1000, 16), 16);

  const auto unwritable = convertFile(dir / "source.wav", dir / "missing" / "sub" / "out.wav",
                                      OutputFormat::wav, plainSettings());
  ASSERT_FALSE(unwritable);
  EXPECT_EQ(unwritable.error().kind(), ConversionError::Kind::extAudioFileError);
  EXPECT_EQ(unwritable.error().text(), "Create destination");

  auto settings = plainSettings();
  settings.customBitrate = std::int64_t{1} << 33;
  const auto bitrate = convertFile(dir / "source.wav", dir / "out.m4a", OutputFormat::aac, settings);
  ASSERT_FALSE(bitrate);
  EXPECT_EQ(bitrate.error().text(), "Set AAC bitrate");
  EXPECT_EQ(bitrate.error().errorDescription().rfind("Set AAC bitrate failed (OSStatus ", 0), 0u);

  settings.customBitrate = 1;  // far below anything the encoder accepts
  const auto refused = convertFile(dir / "source.wav", dir / "out.m4a", OutputFormat::aac, settings);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), ConversionError::Kind::extAudioFileError);
}

// Cancellation: requested while the third chunk is reported, the conversion ends with
// `cancelled` after at most one more chunk, leaving the partial file in place.
class CancellationTest : public ::testing::TestWithParam<NormalizationMode> {};

TEST_P(CancellationTest, StopsWithinOneChunk) {
  test::TempDir dir;
  test::writeWav(dir / "source.wav", test::makeNoise(44100, 2, 8192 * 20, 16), 16);
  auto settings = plainSettings();
  settings.normalizationMode = GetParam();
  std::stop_source stop;
  int reports = 0;
  int reportsAtStop = 0;
  const auto progress = [&](double) {
    if (++reports == 3) {
      reportsAtStop = reports;
      stop.request_stop();
    }
  };
  const auto result = convertFile(dir / "source.wav", dir / "out.wav", OutputFormat::wav, settings,
                                  {}, {}, progress, stop.get_token());
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), ConversionError::cancelled());
  EXPECT_LE(reports - reportsAtStop, 1);
}

INSTANTIATE_TEST_SUITE_P(Stages, CancellationTest,
                         ::testing::Values(NormalizationMode::off, NormalizationMode::lufs));

TEST(ConversionTest, CancelledBeforeStartWritesNothingAudible) {
  test::TempDir dir;
  test::writeWav(dir / "source.wav", test::makeNoise(44100, 2, 20000, 16), 16);
  std::stop_source stop;
  stop.request_stop();
  const auto result = convertFile(dir / "source.wav", dir / "out.wav", OutputFormat::wav,
                                  plainSettings(), {}, {}, {}, stop.get_token());
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), ConversionError::cancelled());
}

class ProgressTest : public ::testing::TestWithParam<NormalizationMode> {};

TEST_P(ProgressTest, RisesMonotonicallyToExactlyOne) {
  test::TempDir dir;
  test::writeWav(dir / "source.wav", test::makeNoise(44100, 2, 8192 * 10 + 100, 16), 16);
  auto settings = plainSettings();
  settings.normalizationMode = GetParam();
  settings.normalizationTarget = -20;
  std::vector<double> reports;
  ASSERT_TRUE(convertFile(dir / "source.wav", dir / "out.wav", OutputFormat::wav, settings, {}, {},
                          [&](double p) { reports.push_back(p); }));
  ASSERT_GE(reports.size(), 11u);
  EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
  EXPECT_GT(reports.front(), 0.0);
  EXPECT_EQ(reports.back(), 1.0);
  if (GetParam() != NormalizationMode::off) {
    // The analysis ends at exactly 0.3; the encoder then fills 0.3 ... 1.0.
    const auto end = std::find(reports.begin(), reports.end(), 0.3);
    ASSERT_NE(end, reports.end());
    EXPECT_GE(std::count_if(end + 1, reports.end(), [](double p) { return p > 0.3; }), 10);
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, ProgressTest,
                         ::testing::Values(NormalizationMode::off, NormalizationMode::peak,
                                           NormalizationMode::lufs));

// Fades, checked on the written file: a constant signal shows each frame's factor.
TEST(FadeTest, FactorsOnTheConvertedFile) {
  test::TempDir dir;
  const float level = 0.5f;
  test::writeWav(dir / "dc.wav", test::makePcm(8000, 2, 10, [&](auto, auto) { return level; }),
                 24);
  const auto factors = [&](double fadeIn, double fadeOut) {
    auto settings = plainSettings();
    settings.fadeInSeconds = fadeIn;
    settings.fadeOutSeconds = fadeOut;
    EXPECT_TRUE(convertFile(dir / "dc.wav", dir / "out.wav", OutputFormat::wav, settings));
    const Pcm out = test::readWav(dir / "out.wav").pcm;
    std::vector<float> result;
    for (std::int64_t i = 0; i < out.frames(); ++i) {
      EXPECT_EQ(out.at(i, 0), out.at(i, 1));
      result.push_back(out.at(i, 0) / level);
    }
    return result;
  };
  // 4.5 frames' worth of seconds truncates to 4 frames.
  const double four = 4.5 / 8000;
  const std::vector<float> in = factors(four, 0);
  ASSERT_EQ(in.size(), 10u);
  const std::vector<float> expectIn = {0, 0.25, 0.5, 0.75, 1, 1, 1, 1, 1, 1};
  for (std::size_t i = 0; i < 10; ++i) EXPECT_NEAR(in[i], expectIn[i], 1e-6) << i;

  const std::vector<float> out = factors(0, four);
  ASSERT_EQ(out.size(), 10u);
  const std::vector<float> expectOut = {1, 1, 1, 1, 1, 1, 1, 0.75, 0.5, 0.25};
  for (std::size_t i = 0; i < 10; ++i) EXPECT_NEAR(out[i], expectOut[i], 1e-6) << i;
}

TEST(FadeTest, FadeOutEndsAtTheRangesLastFrame) {
  test::TempDir dir;
  test::writeWav(dir / "dc.wav", test::makePcm(8000, 1, 1000, [](auto, auto) { return 0.5f; }), 24);
  auto settings = plainSettings();
  settings.fadeOutSeconds = 4.5 / 8000;
  ASSERT_TRUE(convertFile(dir / "dc.wav", dir / "out.wav", OutputFormat::wav, settings, 100, 200));
  const Pcm out = test::readWav(dir / "out.wav").pcm;
  ASSERT_EQ(out.frames(), 100);
  EXPECT_FLOAT_EQ(out.at(95, 0), 0.5f);
  EXPECT_FLOAT_EQ(out.at(96, 0), 0.5f);
  EXPECT_FLOAT_EQ(out.at(97, 0), 0.375f);
  EXPECT_FLOAT_EQ(out.at(99, 0), 0.125f);
}

}  // namespace
}  // namespace vexal

namespace vexal {
namespace {

EncodeRequest requestFor(const std::filesystem::path& source, const std::filesystem::path& output,
                         OutputFormat format) {
  EncodeRequest request;
  request.source = source;
  request.output = output;
  request.format = format;
  request.settings.preserveMetadata = false;
  if (auto info = readAudioFileInfo(source)) request.info = *info;
  return request;
}

TEST(ContainerWriterTest, OpenAndClientFormatStepNames) {
  test::TempDir dir;
  test::writeWav(dir / "source.wav", test::makeNoise(44100, 2, 1000, 16), 16);

  auto missing = requestFor(dir / "source.wav", dir / "out.wav", OutputFormat::wav);
  missing.source = dir / "gone.wav";
  const auto open = encodeWithExtAudioFile(missing);
  ASSERT_FALSE(open);
  EXPECT_EQ(open.error().text(), "Open source");
  EXPECT_NE(open.error().status(), 0);

  auto mono = requestFor(dir / "source.wav", dir / "out.wav", OutputFormat::wav);
  mono.settings.customChannels = 0;
  const auto client = encodeWithExtAudioFile(mono);
  ASSERT_FALSE(client);
  EXPECT_EQ(client.error().text(), "Set source client format");
  EXPECT_FALSE(std::filesystem::exists(dir / "out.wav"));
}

TEST(ContainerWriterTest, ChannelMappingAndRateFollowTheSettings) {
  test::TempDir dir;
  test::writeWav(dir / "five.wav", test::makeNoise(96000, 5, 20000, 24), 24);
  auto request = requestFor(dir / "five.wav", dir / "out.flac", OutputFormat::flac);
  ASSERT_EQ(request.info.channels, 5u);
  ASSERT_TRUE(encodeWithExtAudioFile(request));
  const Pcm same = test::decode(dir / "out.flac");
  EXPECT_EQ(same.channels, 5u);
  EXPECT_EQ(same.rate, 96000);
  EXPECT_EQ(same.frames(), 20000);

  request.output = dir / "stereo.wav";
  request.format = OutputFormat::wav;
  request.settings.customChannels = 2;
  request.settings.customSampleRate = 48000;
  ASSERT_TRUE(encodeWithExtAudioFile(request));
  const Pcm stereo = test::readWav(dir / "stereo.wav").pcm;
  EXPECT_EQ(stereo.channels, 2u);
  EXPECT_EQ(stereo.frames(), 10000);
}

// The VBR strategies all produce complete files, ordered by size.
TEST(ContainerWriterTest, AACVariableBitRateStrategies) {
  test::TempDir dir;
  const auto source = test::writeAudio(dir.path(), "music", test::musicLike(44100, 2, 6),
                                       test::InputKind::wav16);
  std::vector<double> rates;
  for (AACStrategy strategy : {AACStrategy::vbrLow, AACStrategy::vbrMedium, AACStrategy::vbrHigh}) {
    auto settings = plainSettings();
    settings.aacStrategy = strategy;
    settings.customBitrate = 1;  // ignored on the VBR path
    const auto output = dir / ("vbr" + std::to_string(rawValue(strategy)) + ".m4a");
    ASSERT_TRUE(convertFile(source, output, OutputFormat::aac, settings));
    EXPECT_EQ(test::decode(output).frames(), 6 * 44100);
    rates.push_back(test::bitRateOf(output, 6));
  }
  EXPECT_LT(rates[0], rates[1]);
  EXPECT_LT(rates[1], rates[2]);
}

}  // namespace
}  // namespace vexal
