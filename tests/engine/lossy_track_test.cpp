#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>

#include "engine/audio_processor.h"
#include "platform/audio_file.h"
#include "support/test_support.h"

namespace vexal {
namespace {

using test::InputKind;

// Tracks of a lossy image, read without decoding it from its start, equal the same frames
// of a whole decode. AAC's noise substitution draws from a generator running over the
// whole stream, so its noise bands differ after a skip: -88 dB here, where a one-frame
// shift gives -21 dB.
struct LossyCase {
  InputKind kind;
  double maxMismatchDb;  // error energy against the whole decode's
};
constexpr double kExact = -std::numeric_limits<double>::infinity();

// 4 s of a chord with a moving partial, faded out over the last half second.
test::Signal chord(double rate) {
  return test::Signal{
      rate, 2, static_cast<std::int64_t>(rate * 4), [rate](std::int64_t i, std::uint32_t c) {
        const double t = static_cast<double>(i) / rate;
        const double w = 2 * std::numbers::pi * t;
        return static_cast<float>(
            std::min(1.0, 2 * (4 - t)) *
            (0.2 * std::sin(220 * w + c) + 0.1 * std::sin((1200 + 300 * std::sin(0.5 * w)) * w)));
      }};
}

double mismatchDb(const std::vector<float>& got, const std::vector<float>& whole,
                  std::int64_t from) {
  double error = 0;
  double energy = 0;
  for (std::size_t i = 0; i < got.size(); ++i) {
    const float expected = whole.at(static_cast<std::size_t>(from) * 2 + i);
    error += (got[i] - expected) * (got[i] - expected);
    energy += expected * expected;
  }
  return error == 0 ? kExact : 10 * std::log10(error / energy);
}

class LossyTrack : public ::testing::TestWithParam<LossyCase> {};

TEST_P(LossyTrack, TracksMatchTheWholeDecode) {
  test::TempDir dir;
  const auto image =
      test::writeAudio(dir.path(), "image",
                       chord(test::requires48k(GetParam().kind) ? 48000 : 44100), GetParam().kind);
  const auto whole = test::decodeFile(image).samples;
  const auto n = static_cast<std::int64_t>(whole.size() / 2);

  // One reader, each read to the end (the end trim after a skip), the next target
  // behind it (a skip in a new pass).
  std::unique_ptr<platform::AudioFileReader> reader;
  ASSERT_EQ(platform::AudioFileReader::open(image, reader), platform::kNoError);
  for (const std::int64_t target :
       {n * 5 / 8 - 1, n * 5 / 8, n * 5 / 8 + 1, n * 3 / 4 + 577, n - 1500, n - 1}) {
    ASSERT_EQ(reader->seek(target), platform::kNoError);
    std::vector<float> got(static_cast<std::size_t>(n - target + 1) * 2);
    std::uint32_t frames = static_cast<std::uint32_t>(n - target + 1);
    ASSERT_EQ(reader->read(got.data(), frames), platform::kNoError);
    got.resize(frames * 2);
    ASSERT_EQ(frames, n - target) << "target " << target;
    EXPECT_LE(mismatchDb(got, whole, target), GetParam().maxMismatchDb) << "target " << target;
  }

  // Tracks converted one by one, each from a fresh reader as a cue sheet's jobs run,
  // end to end are the whole conversion.
  ConversionSettings settings;
  settings.preserveMetadata = false;
  ASSERT_TRUE(
      AudioProcessor::convert(image, dir / "whole.wav", OutputFormat::wav, settings, {}, {}, {}));
  const std::vector<std::int64_t> starts = {0, n / 4 + 13, n * 5 / 8, n * 5 / 6, n};
  std::vector<float> joined;
  for (std::size_t i = 0; i + 1 < starts.size(); ++i) {
    const auto end = i + 2 < starts.size() ? std::optional(starts[i + 1]) : std::nullopt;
    ASSERT_TRUE(AudioProcessor::convert(image, dir / "track.wav", OutputFormat::wav, settings,
                                        starts[i], end, {}));
    const auto track = test::decodeFile(dir / "track.wav").samples;
    EXPECT_EQ(track.size(), static_cast<std::size_t>(starts[i + 1] - starts[i]) * 2);
    joined.insert(joined.end(), track.begin(), track.end());
  }
  ASSERT_EQ(joined.size(), whole.size());
  EXPECT_LE(mismatchDb(joined, test::decodeFile(dir / "whole.wav").samples, 0),
            GetParam().maxMismatchDb);
}

INSTANTIATE_TEST_SUITE_P(Formats, LossyTrack,
                         ::testing::Values(LossyCase{InputKind::mp3, kExact},
                                           LossyCase{InputKind::aacM4a, -60},
                                           LossyCase{InputKind::aacAdts, -60},
                                           LossyCase{InputKind::oggVorbis, kExact},
                                           LossyCase{InputKind::oggOpus, kExact}),
                         [](const auto& info) { return test::nameOf(info.param.kind); });

}  // namespace
}  // namespace vexal
