#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "engine/audio_processor.h"
#include "support/test_support.h"

namespace vexal {

void PrintTo(const AudioProcessor::SilenceBounds& bounds, std::ostream* os) {
  *os << "(" << bounds.startFrame << ", " << bounds.endFrame << ")";
}

namespace {

using Bounds = AudioProcessor::SilenceBounds;
using test::InputKind;

Expected<Bounds> scan(const std::filesystem::path& file, std::optional<std::int64_t> start,
                      std::optional<std::int64_t> end, double thresholdDB) {
  auto info = readAudioFileInfo(file);
  EXPECT_TRUE(info);
  return AudioProcessor::detectSilence(file, start, end, *info, thresholdDB);
}

// One loud sample in a silent file, at positions around the chunk boundaries, so that
// both passes find it whichever chunk it falls in.
class OneLoudSample : public ::testing::TestWithParam<std::int64_t> {};

TEST_P(OneLoudSample, BoundsAreThatFrame) {
  test::TempDir dir;
  const std::int64_t at = GetParam();
  const auto file = test::writeAudio(dir.path(), "click", test::Signal{44100, 2, 44100, [=](std::int64_t i, std::uint32_t c) {
                                       return i == at && c == 1 ? -0.5f : 0.0f;
                                     }},
                                     InputKind::wavFloat);
  const auto bounds = scan(file, {}, {}, -50);
  ASSERT_TRUE(bounds);
  EXPECT_EQ(*bounds, (Bounds{at, at + 1}));
}

INSTANTIATE_TEST_SUITE_P(Positions, OneLoudSample,
                         ::testing::Values(0, 8191, 8192, 44100 - 8193, 44099));

// Tone [1 s, 2 s), silence, tone [3 s, 4 s), silence to 5 s: a cue-style range is
// trimmed within itself only.
TEST(SilenceTest, RangeIsTrimmedWithinItself) {
  test::TempDir dir;
  const auto file = test::writeAudio(dir.path(), "album", test::Signal{8000, 1, 40000, [](std::int64_t i, std::uint32_t) {
                                       const std::int64_t at = i % 16000 - 8000;  // frames into a tone
                                       return at < 0 ? 0.0f : static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * 440 * at / 8000));
                                     }},
                                     InputKind::wavFloat);
  // A sine starts at 0, so the first loud sample is the tone's second.
  EXPECT_EQ(*scan(file, 20000, 28000, -50), (Bounds{24001, 28000}));
  EXPECT_EQ(*scan(file, 12001, 20000, -50), (Bounds{12001, 16000}));
  EXPECT_EQ(*scan(file, 17000, 23000, -50), (Bounds{17000, 23000}));
}

// A missing file, and channel counts no reader should allocate for, fail.
TEST(SilenceTest, UnreadableSourceAndHostileInfoFail) {
  test::TempDir dir;
  AudioFileInfo missing{dir / "none.wav", 44100, 2, 1000, 0, 16};
  const auto bounds = AudioProcessor::detectSilence(missing.url, {}, {}, missing, -50);
  ASSERT_FALSE(bounds);
  EXPECT_EQ(bounds.error(), ConversionError::fileNotReadable(dir / "none.wav"));

  const auto file = test::writeAudio(dir.path(), "a", test::silence(44100, 2, 100 / 44100.0), InputKind::wav16);
  AudioFileInfo hostile{file, 44100, 1u << 30, 100, 0, 16};
  EXPECT_FALSE(AudioProcessor::detectSilence(file, {}, {}, hostile, -50));
}

// Trimming in a conversion: a tone padded by 3 s of silence at both ends converts to
// exactly the tone's frames.
TEST(SilenceTest, TrimmedConversionKeepsTheToneToTheFrame) {
  test::TempDir dir;
  const double rate = 44100;
  // A square wave: its first and last frames are loud.
  const std::int64_t toneFrames = 44100 + 11;
  const std::int64_t pad = 3 * 44100;
  const auto square = [](std::int64_t i, std::uint32_t) { return (i / 50) % 2 == 0 ? 0.5f : -0.5f; };
  const test::Signal padded{rate, 2, pad + toneFrames + pad, [=](std::int64_t i, std::uint32_t c) {
                              return i >= pad && i < pad + toneFrames ? square(i - pad, c) : 0.0f;
                            }};
  const auto source = test::writeAudio(dir.path(), "padded", padded, InputKind::wav24);
  ConversionSettings settings;
  settings.preserveMetadata = false;
  settings.trimSilence = true;
  settings.silenceThresholdDB = -50;
  ASSERT_TRUE(AudioProcessor::convert(source, dir / "out.wav", OutputFormat::wav, settings, {}, {}, {}));
  const auto out = test::decodeFile(dir / "out.wav");
  ASSERT_EQ(out.frames(), toneFrames);
  EXPECT_EQ(out.samples, test::render(test::Signal{rate, 2, toneFrames, square}));
}

// Compressed sources are scanned in one forward pass (their backward seeks decode from
// the start); the bounds still land on the tone, give or take the codec's smearing.
TEST(SilenceTest, LossyBoundsFindTheTone) {
  test::TempDir dir;
  // 1 s of tone after 3 s of silence, 2 s more after it.
  const auto tone = test::sine(44100, 2, 1.0, 440, -6);
  const test::Signal padded{44100, 2, 6 * 44100, [&](std::int64_t i, std::uint32_t c) {
                              const std::int64_t at = i - 3 * 44100;
                              return at >= 0 && at < tone.frames ? tone.sample(at, c) : 0.0f;
                            }};
  const auto bounds = scan(test::writeAudio(dir.path(), "padded", padded, InputKind::mp3), {}, {}, -40);
  ASSERT_TRUE(bounds);
  EXPECT_NEAR(bounds->startFrame, 3 * 44100, 2205);  // 50 ms of codec smearing
  EXPECT_NEAR(bounds->endFrame, 4 * 44100, 2205);
}

}  // namespace
}  // namespace vexal
