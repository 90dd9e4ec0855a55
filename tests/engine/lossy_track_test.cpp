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

// Tracks of a lossy image read from where they start, without decoding the image from its
// start: every frame equals the same frame of a whole decode. AAC's noise substitution
// draws from a generator that runs over the whole stream, so its noise bands differ
// after a skip; it is held to a mismatch far below what a one-frame shift makes.
struct LossyCase {
  InputKind kind;
  double maxMismatchDb;  // error energy against the whole decode's, in dB
};

constexpr double kExact = -std::numeric_limits<double>::infinity();

// A chord with a moving partial, 4 s (long enough for skips past several pre-rolls),
// fading out over its last half second.
test::Signal chord(double rate) {
  constexpr double kSeconds = 4;
  return test::Signal{rate, 2, static_cast<std::int64_t>(rate * kSeconds), [rate](std::int64_t i, std::uint32_t c) {
                        const double t = static_cast<double>(i) / rate;
                        const double w = 2 * std::numbers::pi * t;
                        const double fade = std::min(1.0, 2 * (kSeconds - t));
                        return static_cast<float>(fade * (0.2 * std::sin(220 * w + c) + 0.15 * std::sin(277.2 * w) * std::sin(0.7 * w) +
                                                  0.1 * std::sin((1200 + 300 * std::sin(0.5 * w)) * w)));
                      }};
}

double mismatchDb(const std::vector<float>& got, const float* expected) {
  double error = 0;
  double energy = 0;
  for (std::size_t i = 0; i < got.size(); ++i) {
    error += (got[i] - expected[i]) * (got[i] - expected[i]);
    energy += expected[i] * expected[i];
  }
  return error == 0 ? kExact : 10 * std::log10(error / energy);
}

class LossyTrack : public ::testing::TestWithParam<LossyCase> {
 protected:
  void SetUp() override {
    const double rate = test::requires48k(GetParam().kind) ? 48000.0 : 44100.0;
    image_ = test::writeAudio(dir_.path(), "image", chord(rate), GetParam().kind);
    whole_ = test::decodeFile(image_);
  }
  void expectMatch(const std::vector<float>& got, std::int64_t from, const std::string& what) const {
    ASSERT_LE(static_cast<std::int64_t>(got.size()) + from * 2, static_cast<std::int64_t>(whole_.samples.size()));
    EXPECT_LE(mismatchDb(got, whole_.samples.data() + from * 2), GetParam().maxMismatchDb) << what;
  }
  test::TempDir dir_;
  std::filesystem::path image_;
  test::DecodedAudio whole_;
};

// A fresh reader per target, as a track's job opens it; read to the end, so the end trim
// after a skip is checked too.
TEST_P(LossyTrack, ReadFromAnyTargetMatchesTheWholeDecode) {
  const std::int64_t n = whole_.frames();
  for (const std::int64_t target : {n * 5 / 8 - 1, n * 5 / 8, n * 5 / 8 + 1, n * 3 / 4 + 577, n - 1500, n - 1}) {
    std::unique_ptr<platform::AudioFileReader> reader;
    ASSERT_EQ(platform::AudioFileReader::open(image_, reader), platform::kNoError);
    ASSERT_EQ(reader->seek(target), platform::kNoError);
    std::vector<float> got;
    std::vector<float> buffer(4096 * 2);
    for (std::uint32_t frames = 1; frames > 0;) {
      frames = 4096;
      ASSERT_EQ(reader->read(buffer.data(), frames), platform::kNoError);
      got.insert(got.end(), buffer.begin(), buffer.begin() + frames * 2);
    }
    ASSERT_EQ(static_cast<std::int64_t>(got.size()), (n - target) * 2) << "target " << target;
    expectMatch(got, target, "target " + std::to_string(target));
  }
  // One frame off is far outside the tolerance.
  const std::int64_t at = n / 2;
  const std::vector<float> shifted(whole_.samples.begin() + (at + 1) * 2, whole_.samples.begin() + (at + 4001) * 2);
  EXPECT_GT(mismatchDb(shifted, whole_.samples.data() + at * 2), GetParam().maxMismatchDb + 10);
}

// Tracks converted one by one, as a cue sheet splits the image, end to end are the
// whole conversion.
TEST_P(LossyTrack, CueTracksConcatenateToTheWholeImage) {
  const std::int64_t n = whole_.frames();
  ConversionSettings settings;
  settings.preserveMetadata = false;
  ASSERT_TRUE(AudioProcessor::convert(image_, dir_ / "whole.wav", OutputFormat::wav, settings, {}, {}, {}, {}));
  const auto whole = test::decodeFile(dir_ / "whole.wav").samples;
  const std::vector<std::int64_t> starts = {0, n / 4 + 13, n * 5 / 8, n * 5 / 6};
  std::vector<float> joined;
  for (std::size_t i = 0; i < starts.size(); ++i) {
    const auto out = dir_ / ("track" + std::to_string(i) + ".wav");
    const auto end = i + 1 < starts.size() ? std::optional(starts[i + 1]) : std::nullopt;
    ASSERT_TRUE(AudioProcessor::convert(image_, out, OutputFormat::wav, settings, starts[i], end, {}, {}));
    const auto track = test::decodeFile(out);
    EXPECT_EQ(track.frames(), end.value_or(n) - starts[i]);
    joined.insert(joined.end(), track.samples.begin(), track.samples.end());
  }
  ASSERT_EQ(joined.size(), whole.size());
  EXPECT_LE(mismatchDb(joined, whole.data()), GetParam().maxMismatchDb);
}

INSTANTIATE_TEST_SUITE_P(Formats, LossyTrack,
                         ::testing::Values(LossyCase{InputKind::mp3, kExact}, LossyCase{InputKind::aacM4a, -60},
                                           LossyCase{InputKind::aacAdts, -60}, LossyCase{InputKind::oggVorbis, kExact},
                                           LossyCase{InputKind::oggOpus, kExact}),
                         [](const auto& info) { return test::nameOf(info.param.kind); });

}  // namespace
}  // namespace vexal
