// writeToM4A and writeToFlac: the tags that land, the audio that must not change, and the
// hidden temporary file that must never stay behind.

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <taglib/flacfile.h>
#include <taglib/mp4file.h>
#include <taglib/xiphcomment.h>
#include <unistd.h>

#include <set>

#include "metadata/metadata_service.h"
#include "support/test_support.h"
#include "tag_fixtures.h"

// Records name only the fields they hold; GCC 12 warns about the rest.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace vexal {
namespace {

TagLib::String key(const char* utf8) {
  return TagLib::String(utf8, TagLib::String::UTF8);
}

AudioMetadata fullMetadata() {
  return {.title = "Fl\xC3\xBCgel", .artist = "The Artist", .album = "The Album", .albumArtist = "Album Artist",
          .trackNumber = 5, .trackTotal = 10, .discNumber = 2, .genre = "Jazz", .year = 2021,
          .composer = "The Composer", .artwork = test::jpegImage()};
}

std::set<std::string> m4aItemKeys(const std::filesystem::path& file) {
  TagLib::MP4::File m4a(file.c_str());
  std::set<std::string> keys;
  for (const auto& [name, item] : m4a.tag()->itemMap()) keys.insert(name.to8Bit(true));
  return keys;
}

class WriteToM4ATest : public testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test::writeTone(file_, GetParam()));
    // Tags the encoder or an earlier tagger left, none of which may survive.
    TagLib::MP4::File m4a(file_.c_str());
    m4a.tag()->setItem(key("\u00A9cmt"), TagLib::StringList("old comment"));
    m4a.tag()->setItem(key("\u00A9too"), TagLib::StringList("some encoder"));
    m4a.tag()->setItem(key("----:com.apple.iTunes:REPLAYGAIN_TRACK_GAIN"),
                       TagLib::StringList("-3 dB"));
    m4a.tag()->setItem(key("tmpo"), TagLib::MP4::Item(120));
    m4a.tag()->setItem(key("\u00A9nam"), TagLib::StringList("Old Title"));
    ASSERT_TRUE(m4a.save());
  }

  test::TempDir dir_;
  std::filesystem::path file_ = dir_ / "song.m4a";
};

TEST_P(WriteToM4ATest, WritesExactlyTheListedItemsAndKeepsTheAudio) {
  const auto packets = test::rawAudioPackets(file_);
  const auto pcm = test::decodeFile(file_).samples;
  ASSERT_FALSE(packets.empty());
  ASSERT_FALSE(pcm.empty());

  const auto error = MetadataService::writeToM4A(fullMetadata(), file_);
  ASSERT_FALSE(error) << error->text();

  EXPECT_TRUE(test::leftoverTemporaries(dir_.path()).empty());
  EXPECT_EQ(test::rawAudioPackets(file_), packets);
  EXPECT_EQ(test::decodeFile(file_).samples, pcm);

  const std::set<std::string> expected = {"\u00A9nam", "\u00A9ART", "\u00A9alb", "aART",
                                          "\u00A9gen", "\u00A9wrt", "\u00A9day", "trkn",
                                          "disk",      "covr"};
  EXPECT_EQ(m4aItemKeys(file_), expected);

  EXPECT_EQ(MetadataService::readMetadata(file_), fullMetadata());
}

// The second record's empty texts and artwork are left out, and nothing of the first stays.
TEST_P(WriteToM4ATest, ASecondWriteReplacesTheFirst) {
  const auto packets = test::rawAudioPackets(file_);
  ASSERT_FALSE(MetadataService::writeToM4A(fullMetadata(), file_));
  AudioMetadata job;
  job.title = "Track Two";
  job.album = "";
  job.trackNumber = 2;
  job.artwork = std::vector<std::uint8_t>{};
  ASSERT_FALSE(MetadataService::writeToM4A(job, file_));
  EXPECT_EQ(m4aItemKeys(file_), (std::set<std::string>{"\u00A9nam", "trkn"}));
  EXPECT_EQ(test::rawAudioPackets(file_), packets);
  EXPECT_TRUE(test::leftoverTemporaries(dir_.path()).empty());
}

// 0 when writeToM4A fails as it should on a folder it may not write to. The superuser
// ignores permissions, so under it the write runs in a child that becomes "nobody".
int writeIntoReadOnlyFolder(const std::filesystem::path& file) {
  auto attempt = [&] {
    const auto error = MetadataService::writeToM4A(fullMetadata(), file);
    return error && error->kind == MetadataService::WriteError::Kind::exportFailed &&
                   !error->text().empty()
               ? 0
               : 1;
  };
  if (geteuid() != 0) return attempt();
  const pid_t child = fork();
  if (child == 0) {
    constexpr uid_t kNobody = 65534;
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(2);
    _exit(attempt());
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return 3;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 4;
}

TEST_P(WriteToM4ATest, AReadOnlyFolderFailsAndLeavesTheFileAlone) {
  using std::filesystem::perms;
  const auto before = test::readBytes(file_);
  std::filesystem::permissions(dir_.path(), perms::owner_read | perms::owner_exec |
                                                perms::group_read | perms::group_exec |
                                                perms::others_read | perms::others_exec);
  const int outcome = writeIntoReadOnlyFolder(file_);
  std::filesystem::permissions(dir_.path(), perms::owner_all);
  EXPECT_EQ(outcome, 0);
  EXPECT_EQ(test::readBytes(file_), before);
  EXPECT_TRUE(test::leftoverTemporaries(dir_.path()).empty());
}

std::string codecName(const testing::TestParamInfo<std::string>& info) {
  static const char* const kNames[] = {"Aac", "AacFastStart"};
  return kNames[info.index];
}

// The last puts the sample tables before the audio, so a growing tag moves the audio and
// its chunk offsets must follow.
INSTANTIATE_TEST_SUITE_P(Codecs, WriteToM4ATest,
                         testing::Values("-c:a aac -b:a 128k", "-c:a aac -b:a 128k -movflags +faststart"),
                         codecName);

// Files of the wrong kind, garbage and vanished files: an error, the file as it was, and
// no temporary left behind.
TEST(WriteTagsFailureTest, FailuresLeaveTheFileAsItWas) {
  using Kind = MetadataService::WriteError::Kind;
  struct Case {
    bool flac;  // writeToFlac, else writeToM4A
    const char* name;
    const char* encoder;  // "" for garbage bytes, nullptr for no file at all
    std::optional<Kind> kind;
  };
  test::TempDir dir;
  for (const Case& c : {Case{false, "flac.m4a", "-c:a flac -f flac", Kind::exportFailed},
                        Case{false, "mp3.m4a", "-c:a libmp3lame -f mp3", Kind::exportFailed},
                        Case{false, "garbage.m4a", "", std::nullopt},
                        Case{false, "gone.m4a", nullptr, Kind::exporterUnavailable},
                        Case{true, "mp3.flac", "-c:a libmp3lame -f mp3", std::nullopt},
                        Case{true, "gone.flac", nullptr, std::nullopt}}) {
    SCOPED_TRACE(c.name);
    const auto file = dir / c.name;
    if (c.encoder && *c.encoder) {
      ASSERT_TRUE(test::writeTone(file, c.encoder, 0.3));
    }
    if (c.encoder && !*c.encoder) test::writeBytes(file, std::vector<std::uint8_t>(1000, 0x11));
    const auto before = test::readBytes(file);
    const auto error = c.flac ? MetadataService::writeToFlac(fullMetadata(), file)
                              : MetadataService::writeToM4A(fullMetadata(), file);
    ASSERT_TRUE(error);
    if (c.kind) {
      EXPECT_EQ(error->kind, *c.kind);
    }
    EXPECT_EQ(test::readBytes(file), before);
    EXPECT_EQ(std::filesystem::exists(file), c.encoder != nullptr);
    EXPECT_TRUE(test::leftoverTemporaries(dir.path()).empty());
  }
}

class WriteToFlacTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(test::writeTone(file_, "-c:a flac", 2.0)); }

  test::TempDir dir_;
  std::filesystem::path file_ = dir_ / "song.flac";
};

// A cover larger than the padding makes the metadata grow; the frames still stay.
TEST_F(WriteToFlacTest, WritesCommentsAndCoverWithoutTouchingTheFrames) {
  const auto frames = test::flacAudioFrames(file_);
  const auto pcm = test::decodeFile(file_).samples;
  ASSERT_FALSE(frames.empty());

  auto metadata = fullMetadata();  // JPEG cover
  metadata.artwork->resize(3 * 1024 * 1024, 0x42);
  const auto error = MetadataService::writeToFlac(metadata, file_);
  ASSERT_FALSE(error) << error->text();

  EXPECT_TRUE(test::leftoverTemporaries(dir_.path()).empty());
  EXPECT_EQ(test::flacAudioFrames(file_), frames);
  EXPECT_EQ(test::decodeFile(file_).samples, pcm);
  EXPECT_EQ(MetadataService::readMetadata(file_), metadata);

  TagLib::FLAC::File flac(file_.c_str());
  ASSERT_EQ(flac.pictureList().size(), 1u);
  EXPECT_EQ(flac.pictureList().front()->type(), TagLib::FLAC::Picture::FrontCover);
  EXPECT_EQ(flac.pictureList().front()->mimeType(), "image/jpeg");
}

}  // namespace
}  // namespace vexal
