#include <gtest/gtest.h>

#include <map>

#include "engine/audio_processor.h"
#include "metadata/metadata_service.h"
#include "orchestration_helpers.h"
#include "support/loudness_oracle.h"

namespace vexal {
namespace {

namespace fs = std::filesystem;

using test::tagValue;

struct AlbumCase {
  bool tagged;     // both tracks carry one album tag
  bool byFolder;   // "album by folder" on
  bool oneFails;   // a third track of the album fails
  bool pooled;     // album values expected
};

class AlbumGain : public testing::TestWithParam<AlbumCase> {};

// Two tracks of one folder at -14 and -24 LUFS and of different lengths, in two formats:
// one album when tagged so or taken by folder, and pooled only when every track succeeded.
TEST_P(AlbumGain, PooledBlocksWhenEveryTrackOfAnAlbumSucceeded) {
  const auto [tagged, byFolder, oneFails, pooled] = GetParam();
  test::TempDir dir;
  QStringList sources;
  for (const auto& [name, dbfs, seconds] : {std::tuple{"loud", -14.0, 0.8}, {"quiet", -24.0, 1.6}, {"broken", -20.0, 0.5}}) {
    if (name == std::string("broken") && !oneFails) continue;
    const auto path = test::writeAudio(dir.path(), name, test::sine(44100, 2, seconds, 1000, dbfs), test::InputKind::flac16);
    AudioMetadata tags;
    tags.album = "Album";
    if (tagged) {
      ASSERT_FALSE(MetadataService::writeToFlac(tags, path));
    }
    sources << test::q(path);
  }
  ConverterViewModel model(test::storesIn(dir.path()));
  model.setConvertFunction([](const fs::path& source, const fs::path& output, OutputFormat format,
                              const ConversionSettings& settings, auto start, auto end, ProgressCallback progress,
                              std::stop_token stop, const AudioMetadata* tags, ConversionTally* tally) -> Expected<> {
    if (source.stem() == "broken") return Unexpected(ConversionError::unsupportedFormat("broken"));
    return AudioProcessor::convert(source, output, format, settings, start, end, progress, stop, tags, tally);
  });
  ConversionSettings settings;
  settings.enabledFormats = {OutputFormat::flac, OutputFormat::vorbis};
  settings.writeReplayGain = true;
  settings.albumByFolder = byFolder;
  model.setSettings(settings);
  model.addFiles(sources);
  model.startConversion();
  ASSERT_TRUE(test::waitForBatch(model));

  for (const std::string extension : {".flac", ".ogg"}) {
    const auto loud = dir / "out" / ("loud" + extension);
    const auto quiet = dir / "out" / ("quiet" + extension);
    EXPECT_NE(tagValue(quiet, "REPLAYGAIN_TRACK_GAIN"), "");
    if (!pooled) {
      EXPECT_EQ(tagValue(loud, "REPLAYGAIN_ALBUM_GAIN") + tagValue(quiet, "REPLAYGAIN_ALBUM_GAIN"), "");
      continue;
    }
    EXPECT_EQ(tagValue(loud, "REPLAYGAIN_ALBUM_GAIN"), tagValue(quiet, "REPLAYGAIN_ALBUM_GAIN"));
    EXPECT_NEAR(std::stod(tagValue(loud, "REPLAYGAIN_ALBUM_GAIN")), -18.0 - test::ebur128Loudness({loud, quiet}), 0.1);
    // The album's peak is its loudest track's.
    EXPECT_EQ(tagValue(quiet, "REPLAYGAIN_ALBUM_PEAK"), tagValue(loud, "REPLAYGAIN_TRACK_PEAK"));
  }
}

INSTANTIATE_TEST_SUITE_P(Tracks, AlbumGain,
                         testing::Values(AlbumCase{true, false, false, true}, AlbumCase{true, false, true, false},
                                         AlbumCase{false, false, false, false}, AlbumCase{false, true, false, true}));

// Albums of a mirrored library, each a folder of two tracks with an album tag, synced
// into `out` by runs of their own (as the command line runs them, a shard each when asked).
class MirroredAlbums : public testing::Test {
 protected:
  fs::path track(const std::string& album, const std::string& name, double dbfs, double seconds) {
    fs::create_directories(dir / "Lib" / album);
    const auto path = test::writeAudio(dir / "Lib" / album, name, test::sine(44100, 2, seconds, 1000, dbfs),
                                       test::InputKind::flac16);
    AudioMetadata tags;
    tags.album = album;
    EXPECT_FALSE(MetadataService::writeToFlac(tags, path));
    return path;
  }
  void sync(const fs::path& out, int shard = 0, int shards = 1) {
    auto options = test::storesIn(dir.path());
    options.outputDirectory = test::q(out);
    ConverterViewModel model(options);
    ConversionSettings settings;
    settings.enabledFormats = {OutputFormat::flac, OutputFormat::vorbis};
    settings.writeReplayGain = true;
    settings.skipConverted = true;
    model.setSettings(settings);
    model.setMirrorOptions({false, false, false, shard, shards});
    model.importURLs({test::q(dir / "Lib")});
    model.keepShard(shard, shards);
    model.startConversion();
    ASSERT_TRUE(test::waitForBatch(model));
  }
  // The album gain of every output below `out`, by its path there.
  static std::map<std::string, std::string> albumGains(const fs::path& out) {
    std::map<std::string, std::string> gains;
    for (const auto& file : fs::recursive_directory_iterator(out)) {
      if (file.is_regular_file() && !file.path().string().contains("/."))
        gains[fs::relative(file.path(), out).string()] = tagValue(file.path(), "REPLAYGAIN_ALBUM_GAIN");
    }
    return gains;
  }

  test::TempDir dir;
};

// One track of an album converts again (its source changed): every track of the album,
// the up-to-date one included, gets the album's new pooled value from the index.
TEST_F(MirroredAlbums, ATrackConvertedAgainUpdatesItsWholeAlbum) {
  track("Album", "loud", -14, 0.8);
  track("Album", "quiet", -24, 1.6);
  sync(dir / "out");
  track("Album", "loud", -8, 0.8);
  sync(dir / "out");
  for (const std::string extension : {".flac", ".ogg"}) {
    const auto loud = dir / "out" / "Lib" / "Album" / ("loud" + extension);
    const auto quiet = dir / "out" / "Lib" / "Album" / ("quiet" + extension);
    ASSERT_NE(tagValue(quiet, "REPLAYGAIN_ALBUM_GAIN"), "") << extension;
    EXPECT_EQ(tagValue(loud, "REPLAYGAIN_ALBUM_GAIN"), tagValue(quiet, "REPLAYGAIN_ALBUM_GAIN"));
    EXPECT_NEAR(std::stod(tagValue(quiet, "REPLAYGAIN_ALBUM_GAIN")), -18.0 - test::ebur128Loudness({loud, quiet}), 0.1);
  }
}

// A library split into shards gets the album values one run over it gives.
TEST_F(MirroredAlbums, ShardsGiveTheAlbumGainsOfOneRun) {
  track("First", "a", -14, 0.8);
  track("First", "b", -24, 1.6);
  track("Second", "c", -10, 0.6);
  track("Second", "d", -20, 1.2);
  sync(dir / "whole");
  for (int shard = 0; shard < 3; ++shard) sync(dir / "split", shard, 3);
  const auto whole = albumGains(dir / "whole");
  ASSERT_EQ(whole.size(), 8u);
  for (const auto& [file, gain] : whole) EXPECT_NE(gain, "") << file;
  EXPECT_EQ(albumGains(dir / "split"), whole);
}

}  // namespace
}  // namespace vexal
