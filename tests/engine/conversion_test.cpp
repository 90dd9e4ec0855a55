#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "engine/audio_processor.h"
#include "engine/chunk_stage.h"
#include "support/test_support.h"

namespace vexal {
namespace {

using test::InputKind;

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

// Stereo 16-bit noise of `frames` frames at 44.1 kHz.
std::filesystem::path noiseSource(const test::TempDir& dir, std::int64_t frames) {
  return test::writeAudio(dir.path(), "source", test::noise(44100, 2, frames / 44100.0, -1.0, 7),
                          InputKind::wav16);
}

std::uint32_t le(const std::string& bytes, std::size_t at, int width) {
  std::uint32_t value = 0;
  for (int b = width - 1; b >= 0; --b) value = value << 8 | static_cast<unsigned char>(bytes[at + b]);
  return value;
}

// Lossless outputs hold exactly the source's integer samples, at 16 and 24 bits, from
// sources written by FFmpeg's own encoders.
class LosslessRoundTrip
    : public ::testing::TestWithParam<std::tuple<OutputFormat, InputKind>> {};

TEST_P(LosslessRoundTrip, IsBitExact) {
  const auto [format, kind] = GetParam();
  test::TempDir dir;
  const auto signal = test::noise(44100, 2, 0.7, -1.0, 11);
  const auto source = test::writeAudio(dir.path(), "source", signal, kind);
  const auto output = dir / ("out." + std::string(fileExtension(format)));

  ASSERT_TRUE(convertFile(source, output, format, plainSettings()));

  const auto decoded = test::decodeFile(output);
  EXPECT_EQ(decoded.sampleRate, 44100);
  EXPECT_EQ(decoded.channels, 2u);
  ASSERT_EQ(decoded.frames(), signal.frames);
  EXPECT_EQ(decoded.samples, test::quantised(signal, test::bitDepthOf(kind)));
}

std::string roundTripName(const ::testing::TestParamInfo<std::tuple<OutputFormat, InputKind>>& info) {
  return std::string(rawValue(std::get<0>(info.param))) + "_from_" + test::nameOf(std::get<1>(info.param));
}

INSTANTIATE_TEST_SUITE_P(Formats, LosslessRoundTrip,
                         ::testing::Combine(::testing::Values(OutputFormat::wav, OutputFormat::aiff, OutputFormat::flac,
                                                              OutputFormat::alac),
                                            ::testing::Values(InputKind::flac16, InputKind::wav24)),
                         roundTripName);

// The lossless images found beside cue sheets and other containers of lossless audio.
INSTANTIATE_TEST_SUITE_P(MoreInputs, LosslessRoundTrip,
                         ::testing::Combine(::testing::Values(OutputFormat::flac),
                                            ::testing::Values(InputKind::wavPack24, InputKind::tta16,
                                                              InputKind::flacMka, InputKind::aifc16)),
                         roundTripName);

// DSD becomes 88.2 kHz PCM holding the whole tone.
TEST(ConversionTest, DsdKeepsLengthAndPitch) {
  test::TempDir dir;
  const auto source = test::writeDsf(dir.path(), "tone", test::sine(2822400, 2, 0.2, 1000, -6));
  ASSERT_TRUE(convertFile(source, dir / "out.flac", OutputFormat::flac, plainSettings()));

  const auto out = test::decodeFile(dir / "out.flac");
  EXPECT_EQ(out.sampleRate, 88200);
  EXPECT_EQ(out.channels, 2u);
  EXPECT_EQ(out.frames(), 88200 / 5);
  EXPECT_NEAR(test::frequencyOf(out), 1000.0, 5.0);
}

TEST(ConversionTest, CueRangeConvertsExactlyItsSourceFrames) {
  test::TempDir dir;
  const auto signal = test::noise(44100, 2, 900000 / 44100.0, -1.0, 7);
  const auto source = test::writeAudio(dir.path(), "album", signal, InputKind::wav16);

  ASSERT_TRUE(convertFile(source, dir / "track.wav", OutputFormat::wav, plainSettings(), 441000, 882000));

  const auto out = test::decodeFile(dir / "track.wav");
  ASSERT_EQ(out.frames(), 441000);
  const auto expected = test::quantised(signal, 16);
  EXPECT_TRUE(std::equal(out.samples.begin(), out.samples.end(), expected.begin() + 441000 * 2));
}

// WAV keeps 24-bit samples as 24-bit little-endian integers (6 bytes a stereo frame) and
// labels surround speakers; a range of no frames is refused.
TEST(ConversionTest, WavHeadersAndEmptyRanges) {
  test::TempDir dir;
  // One known sample value: 0x123456 / 2^23 on both channels of the first frame.
  const float value = static_cast<float>(0x123456) / 8388608.0f;
  const auto source = test::writeAudio(
      dir.path(), "source",
      test::Signal{44100, 2, 100, [=](std::int64_t i, std::uint32_t) { return i == 0 ? value : 0.0f; }},
      InputKind::wav24);

  ASSERT_TRUE(convertFile(source, dir / "out.wav", OutputFormat::wav, plainSettings()));
  const std::string wav = test::readText(dir / "out.wav");
  const auto fmt = wav.find("fmt ");
  ASSERT_NE(fmt, std::string::npos);
  const bool extensible = le(wav, fmt + 8, 2) == 0xFFFE;
  EXPECT_EQ(le(wav, fmt + (extensible ? 32 : 8), 2), 1u);  // integer PCM, or its sub-format
  EXPECT_EQ(le(wav, fmt + 20, 2), 6u);   // block align
  EXPECT_EQ(le(wav, fmt + 22, 2), 24u);  // bits
  const auto data = wav.find("data", fmt);
  ASSERT_NE(data, std::string::npos);
  EXPECT_EQ(le(wav, data + 4, 4), 600u);
  EXPECT_EQ(le(wav, data + 8, 3), 0x123456u);
  EXPECT_EQ(test::decodeFile(dir / "out.wav").samples[0], value);

  // Surround outputs are WAVE_FORMAT_EXTENSIBLE with their speakers' mask (5.1 and 7.1).
  for (const auto& [channels, mask] : {std::pair{6u, 0x3Fu}, std::pair{8u, 0x63Fu}}) {
    const auto name = std::to_string(channels);
    const auto surround =
        test::writeAudio(dir.path(), name, test::noise(44100, channels, 0.1, -6.0), InputKind::wav24);
    ASSERT_TRUE(convertFile(surround, dir / ("out" + name + ".wav"), OutputFormat::wav, plainSettings()));
    const std::string bytes = test::readText(dir / ("out" + name + ".wav"));
    const auto at = bytes.find("fmt ");
    EXPECT_EQ(le(bytes, at + 8, 2), 0xFFFEu) << channels;
    EXPECT_EQ(le(bytes, at + 28, 4), mask) << channels;
  }

  // Ranges without audio (empty, or past the end) are refused, and nothing is written.
  for (const auto& [start, end] : {std::pair{50, 50}, std::pair{60, 40}, std::pair{100, 200}}) {
    const auto empty = convertFile(source, dir / "empty.wav", OutputFormat::wav, plainSettings(), start, end);
    ASSERT_FALSE(empty) << start;
    EXPECT_NE(empty.error().errorDescription().find("Empty track"), std::string::npos) << empty.error().errorDescription();
    EXPECT_FALSE(std::filesystem::exists(dir / "empty.wav"));
  }
}

// Broken sources fail with the error the user is shown, and never crash.
struct BrokenSource {
  std::string name;
  std::function<std::string(const std::string&)> make;  // from a good file's bytes
};

class BrokenSourceTest : public ::testing::TestWithParam<BrokenSource> {};

TEST_P(BrokenSourceTest, FailsAsUnreadable) {
  test::TempDir dir;
  const auto good = noiseSource(dir, 44100);
  if (GetParam().name != "missing") {
    std::ofstream(dir / "bad.wav", std::ios::binary) << GetParam().make(test::readText(good));
  }

  const auto result = convertFile(dir / "bad.wav", dir / "out.flac", OutputFormat::flac, plainSettings());
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), ConversionError::fileNotReadable(dir / "bad.wav"));
  EXPECT_EQ(result.error().errorDescription(), "Cannot read file: bad.wav");
  EXPECT_FALSE(std::filesystem::exists(dir / "out.flac"));
}

INSTANTIATE_TEST_SUITE_P(
    Files, BrokenSourceTest,
    ::testing::Values(BrokenSource{"missing", [](const auto&) { return std::string(); }},
                      BrokenSource{"random",
                                   [](const auto&) {
                                     std::string noise(100000, '\0');
                                     std::uint32_t x = 12345;
                                     for (auto& b : noise) b = static_cast<char>((x = x * 1103515245 + 12345) >> 16);
                                     return noise;
                                   }},
                      BrokenSource{"truncatedHeader", [](const auto& good) { return good.substr(0, 20); }}),
    [](const auto& info) { return info.param.name; });

TEST(ConversionTest, HostileChannelCountsAndRatesFail) {
  test::TempDir dir;
  const auto source = noiseSource(dir, 1000);
  for (std::uint32_t channels : {0u, 9u, 0xFFFFFFFFu}) {
    auto settings = plainSettings();
    settings.customChannels = channels;
    const auto result = convertFile(source, dir / "out.wav", OutputFormat::wav, settings);
    ASSERT_FALSE(result) << channels;
    if (channels == 9) {
      EXPECT_EQ(result.error().errorDescription(), "Unsupported format: 9 channels at 44100 Hz");
    }
  }
  for (double value : {0.0, 1e12, double{INFINITY}, std::nan("")}) {
    auto settings = plainSettings();
    settings.customSampleRate = value;
    EXPECT_FALSE(convertFile(source, dir / "out.wav", OutputFormat::wav, settings)) << value;
    if (value == 0.0 || value == 1e12) continue;  // fade lengths: only the endless and NaN
    settings = plainSettings();
    settings.fadeOutSeconds = value;
    EXPECT_FALSE(convertFile(source, dir / "out.wav", OutputFormat::wav, settings)) << value;
  }
}

// Cancellation, requested before the start or while the third chunk is reported: the
// conversion ends with `cancelled` after at most one more chunk.
class CancellationTest : public ::testing::TestWithParam<std::tuple<NormalizationMode, int>> {};

TEST_P(CancellationTest, StopsWithinOneChunk) {
  const auto [mode, stopAtReport] = GetParam();
  test::TempDir dir;
  const auto source = noiseSource(dir, 8192 * 20);
  auto settings = plainSettings();
  settings.normalizationMode = mode;
  std::stop_source stop;
  if (stopAtReport == 0) stop.request_stop();
  int reports = 0;
  int reportsAtStop = 0;
  const auto progress = [&](double) {
    if (++reports == stopAtReport) {
      reportsAtStop = reports;
      stop.request_stop();
    }
  };
  const auto result = convertFile(source, dir / "out.wav", OutputFormat::wav, settings, {}, {}, progress,
                                  stop.get_token());
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), ConversionError::cancelled());
  EXPECT_LE(reports - reportsAtStop, 1);
}

INSTANTIATE_TEST_SUITE_P(Stages, CancellationTest,
                         ::testing::Combine(::testing::Values(NormalizationMode::off, NormalizationMode::lufs),
                                            ::testing::Values(0, 3)));

// Fades, checked on the written file: a constant 0.5 shows each frame's factor. 4.5
// frames' worth of seconds truncates to 4 frames; a fade-out ends at the range's end.
struct FadeCase {
  std::string name;
  std::int64_t sourceFrames;
  std::optional<std::int64_t> start, end;
  double fadeInFrames, fadeOutFrames;
  std::vector<float> head, tail;  // factors of the first and last frames, 1 between
};

class FadeTest : public ::testing::TestWithParam<FadeCase> {};

TEST_P(FadeTest, FactorsOnTheConvertedFile) {
  const auto& c = GetParam();
  test::TempDir dir;
  const auto source = test::writeAudio(
      dir.path(), "dc", test::Signal{8000, 2, c.sourceFrames, [](std::int64_t, std::uint32_t) { return 0.5f; }},
      InputKind::wav24);
  auto settings = plainSettings();
  settings.fadeInSeconds = c.fadeInFrames / 8000;
  settings.fadeOutSeconds = c.fadeOutFrames / 8000;
  ASSERT_TRUE(convertFile(source, dir / "out.wav", OutputFormat::wav, settings, c.start, c.end));

  const auto out = test::decodeFile(dir / "out.wav");
  const std::int64_t frames = c.end.value_or(c.sourceFrames) - c.start.value_or(0);
  ASSERT_EQ(out.frames(), frames);
  std::vector<float> expected(c.head);
  expected.resize(static_cast<std::size_t>(frames) - c.tail.size(), 1.0f);
  expected.insert(expected.end(), c.tail.begin(), c.tail.end());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(out.samples[2 * i], out.samples[2 * i + 1]) << i;
    EXPECT_NEAR(out.samples[2 * i] / 0.5f, expected[i], 1e-6) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FadeTest,
    ::testing::Values(FadeCase{"in", 10, {}, {}, 4.5, 0, {0, 0.25, 0.5, 0.75}, {}},
                      FadeCase{"out", 10, {}, {}, 0, 4.5, {}, {1, 0.75, 0.5, 0.25}},
                      FadeCase{"outOfARange", 1000, 100, 200, 0, 4.5, {}, {1, 0.75, 0.5, 0.25}}),
    [](const auto& info) { return info.param.name; });

// LAME reads 16-bit samples, so its fades run on the int16 path: every frame must get
// the factor the float path gives it (to one step of truncation), whichever chunk
// boundary the frame falls next to.
TEST(FadeTest, Int16PathGivesTheFloatFactorsAcrossChunkBoundaries) {
  constexpr std::int64_t kFrames = 10;
  const ChunkStage stage{1.0, 4, 4, kFrames};
  for (std::int64_t split = 1; split < kFrames; ++split) {
    SCOPED_TRACE(split);
    std::vector<float> floats(2 * kFrames, 0.5f);
    std::vector<std::int16_t> ints(2 * kFrames, 16384);
    for (const auto& [from, to] : {std::pair{std::int64_t{0}, split}, std::pair{split, kFrames}}) {
      stage.apply(floats.data() + 2 * from, to - from, 2, from);
      stage.apply(ints.data() + 2 * from, to - from, 2, from);
    }
    for (std::size_t i = 0; i < floats.size(); ++i) {
      EXPECT_NEAR(ints[i], floats[i] * 32768.0f, 1.0) << "sample " << i;
    }
  }
}

}  // namespace
}  // namespace vexal
