#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "engine/audio_processor.h"
#include "metadata/metadata_service.h"
#include "orchestration_helpers.h"
#include "platform/media_assets.h"
#include "support/loudness_oracle.h"

namespace vexal {
namespace {

namespace fs = std::filesystem;
using test::q;

std::optional<std::string> comment(const fs::path& file, const std::string& name) {
  const auto items = platform::loadMetadataItems(file);
  if (!items) return std::nullopt;
  const auto found = platform::metadataItems(*items, "xiph/" + name);
  if (found.empty()) return std::nullopt;
  return found.front().stringValue;
}

// "-1.23 dB" -> -1.23
double decibels(const std::optional<std::string>& text) { return text ? std::stod(*text) : NAN; }

class AlbumGain : public testing::TestWithParam<bool> {};

// Two tracks of one album (one folder, one album tag) at -14 and -24 LUFS, of different
// lengths, in two formats. With `oneFails` a third track of the album fails.
TEST_P(AlbumGain, PooledBlocksWhenEveryTrackSucceeded) {
  const bool oneFails = GetParam();
  test::TempDir dir;
  fs::create_directories(dir / "in");
  QStringList sources;
  const std::vector<std::pair<std::string, test::Signal>> tracks = {
      {"loud", test::sine(44100, 2, 0.8, 1000, -14)},
      {"quiet", test::sine(44100, 2, 1.6, 1000, -24)},
      {"broken", test::sine(44100, 2, 0.5, 1000, -20)}};
  for (const auto& [name, signal] : tracks) {
    if (name == "broken" && !oneFails) continue;
    const auto path = test::writeAudio(dir / "in", name, signal, test::InputKind::flac16);
    AudioMetadata tags;
    tags.album = "Album";
    ASSERT_FALSE(MetadataService::writeToFlac(tags, path));
    sources << q(path);
  }
  ConverterViewModel model(test::storesIn(dir.path()));
  model.setConvertFunction([](const fs::path& source, const fs::path& output, OutputFormat format,
                              const ConversionSettings& settings, std::optional<std::int64_t> start,
                              std::optional<std::int64_t> end, ProgressCallback progress,
                              std::stop_token stop, const AudioMetadata* tags,
                              ConversionTally* tally) -> Expected<> {
    if (source.stem() == "broken") return Unexpected(ConversionError::unsupportedFormat("broken"));
    return AudioProcessor::convert(source, output, format, settings, start, end, std::move(progress),
                                   stop, tags, tally);
  });
  ConversionSettings settings;
  settings.enabledFormats = {OutputFormat::flac, OutputFormat::vorbis};
  settings.writeReplayGain = true;
  model.setSettings(settings);
  model.addFiles(sources);
  model.startConversion();
  ASSERT_TRUE(test::waitFor([&] { return !model.isConverting() && model.activeWorkerCount() == 0; }));

  for (const std::string extension : {".flac", ".ogg"}) {
    const auto loud = dir / "out" / ("loud" + extension);
    const auto quiet = dir / "out" / ("quiet" + extension);
    ASSERT_TRUE(fs::exists(loud) && fs::exists(quiet));
    EXPECT_TRUE(comment(loud, "REPLAYGAIN_TRACK_GAIN") && comment(quiet, "REPLAYGAIN_TRACK_GAIN"));
    if (oneFails) {
      EXPECT_FALSE(comment(loud, "REPLAYGAIN_ALBUM_GAIN"));
      EXPECT_FALSE(comment(quiet, "REPLAYGAIN_ALBUM_GAIN"));
      continue;
    }
    const double lufs = test::ebur128Loudness(std::vector{loud, quiet});
    EXPECT_EQ(comment(loud, "REPLAYGAIN_ALBUM_GAIN"), comment(quiet, "REPLAYGAIN_ALBUM_GAIN"));
    EXPECT_NEAR(decibels(comment(loud, "REPLAYGAIN_ALBUM_GAIN")), -18.0 - lufs, 0.1) << extension;
    // The album's peak is its loudest track's.
    EXPECT_EQ(comment(loud, "REPLAYGAIN_ALBUM_PEAK"), comment(loud, "REPLAYGAIN_TRACK_PEAK"));
    EXPECT_EQ(comment(quiet, "REPLAYGAIN_ALBUM_PEAK"), comment(loud, "REPLAYGAIN_TRACK_PEAK"));
  }
}

INSTANTIATE_TEST_SUITE_P(Tracks, AlbumGain, testing::Values(false, true),
                         [](const auto& info) { return info.param ? "OneFails" : "AllSucceed"; });

}  // namespace
}  // namespace vexal
