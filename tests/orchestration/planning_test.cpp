#include <gmock/gmock.h>

#include <algorithm>
#include <chrono>
#include <fstream>

#include "orchestration/converter_view_model.h"
#include "orchestration/output_files.h"
#include "orchestration/output_planner.h"
#include "orchestration_helpers.h"

namespace vexal {
namespace {

namespace fs = std::filesystem;
using test::q;
using test::TempDir;

void touch(const fs::path& path) {
  std::ofstream(path) << "x";
}

ConversionSettings withFormats(std::set<OutputFormat> formats,
                               std::string templateText = "{filename}") {
  ConversionSettings settings;
  settings.enabledFormats = std::move(formats);
  settings.namingTemplate.templateText = std::move(templateText);
  return settings;
}

std::vector<QString> planned(const std::vector<ConverterViewModel::JobPtr>& jobs,
                             const ConversionSettings& settings, const fs::path& dest) {
  std::vector<QString> paths;
  for (const auto& plan :
       buildPlans(jobs, orderedByRawValue(settings.enabledFormats), q(dest), settings)) {
    for (const auto& [format, url] : plan.outputURLs) paths.push_back(url);
  }
  return paths;
}

TEST(Planning, FormatsInRawValueOrderAndClashesNumberedFromTheBaseName) {
  TempDir dest;
  auto job = std::make_shared<ConversionJob>("/music/a/Song.flac", "Song");
  const auto settings = withFormats({OutputFormat::mp3, OutputFormat::flac});
  EXPECT_THAT(planned({job}, settings, dest.path()),
              testing::ElementsAre(q(dest / "Song.flac"), q(dest / "Song.mp3")));

  touch(dest / "Song.flac");
  touch(dest / "Song (1).flac");
  EXPECT_THAT(planned({job}, settings, dest.path()),
              testing::ElementsAre(q(dest / "Song (2).flac"), q(dest / "Song.mp3")));
}

TEST(Planning, OutputsOfOneBatchNeverSharePath) {
  TempDir dest;
  auto first = std::make_shared<ConversionJob>("/x/Song.wav", "Song");
  auto second = std::make_shared<ConversionJob>("/y/Song.wav", "Song");
  const auto settings = withFormats({OutputFormat::alac, OutputFormat::aac});
  EXPECT_THAT(planned({first, second}, settings, dest.path()),
              testing::ElementsAre(q(dest / "Song.m4a"), q(dest / "Song (1).m4a"),
                                   q(dest / "Song (2).m4a"), q(dest / "Song (3).m4a")));
  EXPECT_FALSE(fs::exists(dest / "Song.m4a"));  // planning writes no file
}

AudioMetadata introTags() {
  AudioMetadata tags;
  tags.artist = "Artist";
  tags.album = "Album";
  tags.title = "Intro";
  tags.trackNumber = 1;
  return tags;
}

TEST(Planning, TemplateSubfolderWinsAndReceivesTheAudioBaseName) {
  TempDir dest;
  const AudioMetadata tags = introTags();
  ConversionJob job("/music/album.flac", "01 Intro", "Dropped", 0, 100, "01 Intro", tags);
  std::set<QString> taken;
  const auto settings =
      withFormats({OutputFormat::vorbis}, "{artist}/{album}/{track} - {filename}");
  EXPECT_EQ(planOutput(OutputFormat::vorbis, job, q(dest.path()), settings, taken),
            q(dest / "Artist" / "Album" / "01 - album.ogg"));

  // No template folder: the job's own sub-folder (a cue sheet's album) is used and created.
  const auto flat = withFormats({OutputFormat::vorbis}, "{track} - {title}");
  EXPECT_EQ(planOutput(OutputFormat::vorbis, job, q(dest.path()), flat, taken),
            q(dest / "Dropped" / "01 - Intro.ogg"));
  EXPECT_TRUE(fs::is_directory(dest / "Dropped"));
}

TEST(Planning, TagValuesCannotLeaveTheDestination) {
  TempDir dest;
  AudioMetadata tags;
  tags.artist = "..";
  tags.album = ".";
  tags.title = "..";
  ConversionJob job("/music/x.flac", "x", std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                    tags);
  std::set<QString> taken;
  const auto settings = withFormats({OutputFormat::flac}, "{artist}/{album}/{title}");
  EXPECT_EQ(planOutput(OutputFormat::flac, job, q(dest.path()), settings, taken),
            q(dest / "Unknown Artist" / "Unknown Album" / "x.flac"));

  ConversionJob dropped("/music/y.flac", "y", "../../etc");
  EXPECT_EQ(planOutput(OutputFormat::flac, dropped, q(dest.path()),
                       withFormats({OutputFormat::flac}), taken),
            q(dest / "_" / "_" / "etc" / "y.flac"));
}

TEST(Planning, LongNamesAreCutOnCharacterBoundariesWithRoomForSuffix) {
  TempDir dest;
  std::string title;
  for (int i = 0; i < 200; ++i) title += "\xC3\xA9";  // "é", two bytes each: 400 bytes
  AudioMetadata tags;
  tags.title = title;
  tags.album = title;
  ConversionJob job("/music/x.flac", "x", std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                    tags);
  const auto settings = withFormats({OutputFormat::flac}, "{album}/{title}");
  std::set<QString> taken;
  const fs::path first(
      planOutput(OutputFormat::flac, job, q(dest.path()), settings, taken).toStdString());
  const fs::path second(
      planOutput(OutputFormat::flac, job, q(dest.path()), settings, taken).toStdString());
  for (const auto& path : {first, second}) {
    EXPECT_LE(path.filename().string().size(), 255u);
    EXPECT_LE(path.parent_path().filename().string().size(), 255u);
    EXPECT_EQ(QString::fromStdString(path.string()).toStdString(),
              path.string());  // whole characters
    EXPECT_EQ(path.parent_path().parent_path(), dest.path());
  }
  EXPECT_TRUE(second.filename().string().ends_with(" (1).flac"));
  EXPECT_TRUE(fs::is_directory(first.parent_path()));
  // Its temporary can really be created.
  EXPECT_TRUE(fs::exists(PartFile(first).path()));
}

TEST(OutputFiles, CommitTakesTheNextFreeNameAndNeverReplaces) {
  TempDir dest;
  touch(dest / "Song (2).flac");
  touch(dest / "Song (3).flac");
  const PartFile held(dest / "Song (2).flac");
  const fs::path part = held.path();
  EXPECT_EQ(part.parent_path(), dest.path());
  EXPECT_TRUE(part.filename().string().starts_with(".vexal-part-"));
  EXPECT_EQ(part.extension(), ".flac");
  std::ofstream(part) << "finished";
  const auto committed = commitPart(part, dest / "Song (2).flac");
  ASSERT_TRUE(committed.has_value());
  EXPECT_EQ(*committed, dest / "Song (4).flac");
  EXPECT_EQ(fs::file_size(*committed), 8u);
  EXPECT_EQ(fs::file_size(dest / "Song (2).flac"), 1u);
  EXPECT_FALSE(fs::exists(part));

  EXPECT_FALSE(commitPart(dest / "nope" / ".vexal-part-x.wav", dest / "nope" / "a.wav"));
}

// Leftovers of killed runs go, never a temporary a live writer holds; another host's
// only after a day without writes, tag writers' copies after an hour.
TEST(OutputFiles, SweepRemovesOnlyTemporariesOfDeadWriters) {
  TempDir dest;
  const auto age = [](const fs::path& path, std::chrono::hours hours) {
    fs::last_write_time(path, fs::last_write_time(path) - hours);
  };
  touch(dest / "Song.flac");
  touch(dest / ".hidden");
  const PartFile live(dest / "Live.flac");
  const fs::path dead = [&] {
    const PartFile killed(dest / "Killed.flac");
    return killed.path();  // its writer is gone: the lock with it
  }();
  touch(dest / ".vexal-part-0B2A1C3D-5F2E4A6B-1C2D-4E5F-8A9B-0C1D2E3F4A5B.flac");  // another host
  touch(dest / ".vexal-part-5F2E4A6B-1C2D-4E5F-8A9B-0C1D2E3F4A5B.flac");  // named without a host
  touch(dest / ".vexal-meta-1.m4a");
  touch(dest / ".vexal-meta-2.m4a");
  age(dest / ".vexal-meta-2.m4a", std::chrono::hours(2));

  sweepLeftovers(dest.path());
  EXPECT_TRUE(fs::exists(live.path()));
  EXPECT_FALSE(fs::exists(dead));
  EXPECT_TRUE(fs::exists(dest / ".vexal-part-0B2A1C3D-5F2E4A6B-1C2D-4E5F-8A9B-0C1D2E3F4A5B.flac"));
  EXPECT_FALSE(fs::exists(dest / ".vexal-part-5F2E4A6B-1C2D-4E5F-8A9B-0C1D2E3F4A5B.flac"));
  EXPECT_TRUE(fs::exists(dest / ".vexal-meta-1.m4a"));
  EXPECT_FALSE(fs::exists(dest / ".vexal-meta-2.m4a"));
  EXPECT_TRUE(fs::exists(dest / "Song.flac"));
  EXPECT_TRUE(fs::exists(dest / ".hidden"));

  age(dest / ".vexal-part-0B2A1C3D-5F2E4A6B-1C2D-4E5F-8A9B-0C1D2E3F4A5B.flac", std::chrono::hours(25));
  sweepLeftovers(dest.path());
  EXPECT_FALSE(fs::exists(dest / ".vexal-part-0B2A1C3D-5F2E4A6B-1C2D-4E5F-8A9B-0C1D2E3F4A5B.flac"));
}

}  // namespace
}  // namespace vexal
