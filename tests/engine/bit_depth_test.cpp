#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

#include "engine/audio_processor.h"
#include "support/test_support.h"

namespace vexal {
namespace {

using test::InputKind;

std::filesystem::path convertAt(const std::filesystem::path& source, const test::TempDir& dir, OutputFormat format,
                                BitDepth depth) {
  ConversionSettings settings;
  settings.enabledFormats = {format};
  settings.bitDepth = depth;
  const auto output = dir / ("out." + std::string(fileExtension(format)));
  EXPECT_TRUE(AudioProcessor::convert(source, output, format, settings, {}, {}, {}));
  return output;
}

class LosslessDepth : public testing::TestWithParam<OutputFormat> {};

// A 16-bit source kept at 16 bits, asked for as such or as the original: stored in 16
// bits, every sample as it was (no dither where nothing needs it).
TEST_P(LosslessDepth, SixteenBitSourceStaysBitExact) {
  test::TempDir dir;
  const auto source = test::writeAudio(dir.path(), "cd", test::musicLike(44100, 2, 0.5), InputKind::wav16);
  for (const BitDepth depth : {BitDepth::int16, BitDepth::original}) {
    const auto output = convertAt(source, dir, GetParam(), depth);
    EXPECT_EQ(readAudioFileInfo(output)->bitsPerChannel, 16u) << rawValue(depth);
    EXPECT_EQ(test::decodeFile(output).samples, test::decodeFile(source).samples) << rawValue(depth);
  }
}

// 24 bits to 16: the error is TPDF dither of +-1 step plus rounding, 0.5 step RMS (no
// dither: 0.29; rectangular dither: 0.41), unbiased, never beyond 1.5 steps.
TEST_P(LosslessDepth, TwentyFourToSixteenBitsIsDithered) {
  test::TempDir dir;
  // Quiet, so that most of its detail lies below the 16-bit step.
  const auto source = test::writeAudio(dir.path(), "hires", test::sine(44100, 2, 0.5, 997, -50), InputKind::wav24);
  const auto output = convertAt(source, dir, GetParam(), BitDepth::int16);
  EXPECT_EQ(readAudioFileInfo(output)->bitsPerChannel, 16u);
  const auto in = test::decodeFile(source).samples;
  const auto out = test::decodeFile(output).samples;
  ASSERT_EQ(in.size(), out.size());
  double sum = 0, squares = 0, largest = 0;
  for (std::size_t i = 0; i < in.size(); ++i) {
    const double error = (static_cast<double>(out[i]) - in[i]) * 32768.0;
    sum += error;
    squares += error * error;
    largest = std::max(largest, std::fabs(error));
  }
  const auto n = static_cast<double>(in.size());
  EXPECT_NEAR(std::sqrt(squares / n), 0.5, 0.03);
  EXPECT_NEAR(sum / n, 0.0, 0.02);
  EXPECT_LE(largest, 1.5 + 1e-3);
}

INSTANTIATE_TEST_SUITE_P(Formats, LosslessDepth,
                         testing::Values(OutputFormat::wav, OutputFormat::aiff, OutputFormat::flac, OutputFormat::alac),
                         [](const auto& info) { return std::string(rawValue(info.param)); });

struct StoredCase {
  OutputFormat format;
  BitDepth depth;
  InputKind source;
  std::uint32_t bits;
  bool floatingPoint;
};

class StoredDepth : public testing::TestWithParam<StoredCase> {};

// What each choice stores, read back from the file.
TEST_P(StoredDepth, AsChosen) {
  const auto& c = GetParam();
  test::TempDir dir;
  const auto source = test::writeAudio(dir.path(), "in", test::sine(44100, 2, 0.3, 440, -6), c.source);
  const auto output = convertAt(source, dir, c.format, c.depth);
  const auto info = readAudioFileInfo(output);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->bitsPerChannel, c.bits);
  EXPECT_EQ(info->floatingPoint, c.floatingPoint);
  if (c.floatingPoint) {
    EXPECT_EQ(test::decodeFile(output).samples, test::decodeFile(source).samples);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Choices, StoredDepth,
    testing::Values(StoredCase{OutputFormat::wav, BitDepth::formatDefault, InputKind::wav16, 24, false},
                    StoredCase{OutputFormat::alac, BitDepth::formatDefault, InputKind::wav16, 16, false},
                    StoredCase{OutputFormat::alac, BitDepth::formatDefault, InputKind::wav8, 24, false},
                    StoredCase{OutputFormat::flac, BitDepth::original, InputKind::wav8, 16, false},
                    StoredCase{OutputFormat::flac, BitDepth::original, InputKind::wav24, 24, false},
                    StoredCase{OutputFormat::aiff, BitDepth::original, InputKind::mp3, 24, false},
                    StoredCase{OutputFormat::wav, BitDepth::original, InputKind::wavFloat, 32, true},
                    StoredCase{OutputFormat::wav, BitDepth::float32, InputKind::flac24, 32, true},
                    StoredCase{OutputFormat::flac, BitDepth::float32, InputKind::wavFloat, 24, false},
                    StoredCase{OutputFormat::aiff, BitDepth::int24, InputKind::wav16, 24, false}),
    [](const auto& info) {
      return std::string(rawValue(info.param.format)) + "_" + std::string(rawValue(info.param.depth)) + "_" +
             test::nameOf(info.param.source);
    });

}  // namespace
}  // namespace vexal
