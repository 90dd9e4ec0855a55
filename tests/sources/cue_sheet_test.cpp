#include <sys/stat.h>

#include <QFile>
#include <QString>
#include <gmock/gmock.h>

#include "sources/cue_sheet.h"
#include "support/test_support.h"

namespace vexal {
namespace {

using Kind = CueSheetError::Kind;

QString toQString(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

void writeBytes(const std::filesystem::path& path, const QByteArray& bytes) {
  QFile file(toQString(path));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  ASSERT_EQ(file.write(bytes), bytes.size());
}

// One member of every element: each track's start time, each file's name.
template <typename Element, typename Member>
std::vector<Member> each(const std::vector<Element>& elements, Member Element::*member) {
  std::vector<Member> values;
  for (const auto& element : elements) values.push_back(element.*member);
  return values;
}

TEST(CueSheetParse, AlbumWithThreeTracks) {
  const auto sheet = CueSheet::parse(
      "PERFORMER \"The Band\"\r\n"
      "TITLE \"Long Night\"\r\n"
      "FILE \"Long Night.wav\" WAVE\r\n"
      "  TRACK 01 AUDIO\r\n"
      "    TITLE \"Dusk\"\r\n"
      "    INDEX 01 00:00:00\r\n"
      "  TRACK 02 AUDIO\r\n"
      "    TITLE \"Midnight\"\r\n"
      "    PERFORMER \"Guest\"\r\n"
      "    FLAGS DCP\r\n"
      "    INDEX 00 03:03:00\r\n"
      "    INDEX 01 03:05:30\r\n"
      "  TRACK 03 AUDIO\r\n"
      "\tINDEX 01 06:42:00\r\n");
  ASSERT_TRUE(sheet) << sheet.error().errorDescription().toStdString();
  EXPECT_THAT(each(sheet->files, &CueFile::name), ::testing::ElementsAre("Long Night.wav"));
  EXPECT_EQ(sheet->albumTitle, "Long Night");
  EXPECT_EQ(sheet->albumPerformer, "The Band");
  ASSERT_EQ(sheet->tracks.size(), 3u);
  EXPECT_THAT(each(sheet->tracks, &CueTrack::startTime), ::testing::ElementsAre(0.0, ::testing::DoubleEq(185.4), 402.0));
  EXPECT_EQ(sheet->tracks[0].title, "Dusk");
  EXPECT_FALSE(sheet->tracks[0].performer);
  EXPECT_EQ(sheet->tracks[1].performer, "Guest");
  EXPECT_FALSE(sheet->tracks[2].title);
}

class CueIndexTime : public ::testing::TestWithParam<std::pair<const char*, std::optional<double>>> {};

// A rejected time leaves the track at 0.0.
TEST_P(CueIndexTime, ParsesWithinBounds) {
  const auto& [line, expected] = GetParam();
  const auto sheet = CueSheet::parse(QString("FILE a.wav WAVE\nTRACK 01 AUDIO\n") + line + "\n");
  ASSERT_TRUE(sheet);
  EXPECT_NEAR(sheet->tracks[0].startTime, expected.value_or(0.0), 1e-9) << line;
}

INSTANTIATE_TEST_SUITE_P(
    Times, CueIndexTime,
    ::testing::Values(std::pair{"INDEX 01 00:10:75", std::nullopt}, std::pair{"INDEX 01 1:2:3", std::optional(62.04)},
                      std::pair{"INDEX 01 99:59:74", std::optional(99 * 60 + 59 + 74 / 75.0)},
                      std::pair{"INDEX 1 00:02:00", std::optional(2.0)}, std::pair{"INDEX  01 00:03:00", std::nullopt},
                      std::pair{"INDEX 02 00:04:00", std::nullopt}, std::pair{"INDEX 01 00:-1:00", std::nullopt},
                      std::pair{"INDEX 01 00:00", std::nullopt}, std::pair{"INDEX 01 00:05:00 junk", std::nullopt}));

// As rippers write several files: one per track, with the next track's pregap at the end
// of the previous file (its INDEX 01 under the next FILE), and a pregap at a file's start.
TEST(CueSheetParse, EachTrackBelongsToTheFileOfItsIndex) {
  const auto sheet = CueSheet::parse(
      "rem GENRE \"Hard Rock\"\r\n"
      "REM DATE 2004-05-17\r\n"
      "REM DISCNUMBER 2/3\r\n"
      "REM COMMENT \"ExactAudioCopy v1.0\"\r\n"
      "CATALOG 0000000000000\r\n"
      "FILE \"01 One.wav\" WAVE\r\n"
      "  TRACK 01 AUDIO\r\n"
      "    FLAGS DCP PRE\r\n"
      "    ISRC USRC17607839\r\n"
      "    REM DATE 1999\r\n"
      "    INDEX 01 00:00:00\r\n"
      "  TRACK 02 AUDIO\r\n"
      "    INDEX 00 03:00:10\r\n"
      "file 02.flac wave\r\n"
      "    INDEX 01 00:00:00\r\n"
      "  TRACK 03 AUDIO\r\n"
      "    INDEX 01 02:00:00\r\n"
      "FILE \"03.wav\" WAVE\r\n"
      "  TRACK 04 AUDIO\r\n"
      "    PREGAP 00:02:00\r\n"
      "    INDEX 00 00:00:00\r\n"
      "    INDEX 01 00:02:00\r\n");
  ASSERT_TRUE(sheet);
  EXPECT_THAT(each(sheet->files, &CueFile::name), ::testing::ElementsAre("01 One.wav", "02.flac", "03.wav"));
  EXPECT_THAT(each(sheet->tracks, &CueTrack::file), ::testing::ElementsAre(0u, 1u, 1u, 2u));
  EXPECT_THAT(each(sheet->tracks, &CueTrack::startTime), ::testing::ElementsAre(0.0, 0.0, 120.0, 2.0));
  EXPECT_EQ(sheet->genre, "Hard Rock");
  EXPECT_EQ(sheet->date, "2004-05-17");
  EXPECT_EQ(sheet->discNumber, 2);
}

TEST(CueSheetParse, MissingFileOrTracksAreErrors) {
  for (const char* text : {"", "TRACK 01 AUDIO\nINDEX 01 00:00:00\n", "FILEa.wav\nTRACK 01 AUDIO\n"}) {
    const auto sheet = CueSheet::parse(text);
    ASSERT_FALSE(sheet) << text;
    EXPECT_EQ(sheet.error().kind, Kind::noFileReference);
    EXPECT_EQ(sheet.error().errorDescription(), "Cue sheet has no FILE reference");
  }
  const auto noTracks = CueSheet::parse("FILE a.wav WAVE\nTRACK 0 AUDIO\nTRACK AUDIO\n");
  ASSERT_FALSE(noTracks);
  EXPECT_EQ(noTracks.error().kind, Kind::noTracks);
  EXPECT_EQ(noTracks.error().errorDescription(), "Cue sheet has no tracks");
}

class CueSheetFile : public ::testing::Test {
 protected:
  test::TempDir dir_;
};

TEST_F(CueSheetFile, Latin1TitlesAreDecodedOnTheSecondAttempt) {
  writeBytes(dir_ / "Caf\xc3\xa9.wav", "");  // the audio file, named in UTF-8 on disk
  const QByteArray latin1 = "FILE \"Caf\xe9.wav\" WAVE\nTITLE \"Cha\xeene fran\xe7" "aise\"\nTRACK 01 AUDIO\n"
                            "TITLE \"\xc9t\xe9\"\nINDEX 01 00:00:00\n";
  writeBytes(dir_ / "album.cue", latin1);
  const auto sheet = CueSheet::parseFile(toQString(dir_ / "album.cue"));
  ASSERT_TRUE(sheet) << sheet.error().errorDescription().toStdString();
  EXPECT_EQ(sheet->albumTitle, QString::fromUtf8("Cha\xc3\xaene fran\xc3\xa7" "aise"));
  EXPECT_EQ(sheet->tracks[0].title, QString::fromUtf8("\xc3\x89t\xc3\xa9"));
}

struct Resolution {
  const char* written;                 // the FILE name
  std::vector<const char*> onDisk;     // files beside the sheet
  std::optional<const char*> expected;  // the file taken, or "Audio file not found"
};

class CueFileResolution : public ::testing::TestWithParam<Resolution> {
 protected:
  test::TempDir dir_;
};

// A name that is not on disk as written falls back to the one accepted file of its stem.
TEST_P(CueFileResolution, FindsTheFileOfTheSameStem) {
  const Resolution& c = GetParam();
  std::filesystem::create_directories(dir_ / "sub");
  for (const char* name : c.onDisk) writeBytes(dir_ / name, "");
  writeBytes(dir_ / "album.cue", QByteArray("FILE \"") + c.written + "\" WAVE\nTRACK 01 AUDIO\n");
  const auto sheet = CueSheet::parseFile(toQString(dir_ / "album.cue"), {"wav", "flac", "ape"});
  if (!c.expected) {
    ASSERT_FALSE(sheet);
    EXPECT_EQ(sheet.error().errorDescription(), QString("Audio file not found: ") + c.written);
    return;
  }
  ASSERT_TRUE(sheet) << sheet.error().errorDescription().toStdString();
  EXPECT_EQ(sheet->files[0].path, toQString(dir_ / *c.expected));
  EXPECT_EQ(sheet->files[0].name, c.written);
}

INSTANTIATE_TEST_SUITE_P(
    Names, CueFileResolution,
    ::testing::Values(Resolution{"album.wav", {"album.APE", "cover.flac"}, "album.APE"},
                      Resolution{"album.wav", {"album.wav", "album.flac"}, "album.wav"},
                      Resolution{"sub/album.wav", {"sub/album.flac", "album.ape"}, "sub/album.flac"},
                      Resolution{"album.wav", {"album.flac", "album.ape"}, std::nullopt},
                      Resolution{"album.wav", {"album.txt", "album.wav.flac"}, std::nullopt}));

// A FIFO named by the FILE line is no audio file: reading it would wait for a writer.
TEST_F(CueFileResolution, AFifoIsNotTheAudioFile) {
  ASSERT_EQ(::mkfifo((dir_ / "album.wav").c_str(), 0600), 0);
  writeBytes(dir_ / "album.cue", "FILE \"album.wav\" WAVE\nTRACK 01 AUDIO\n");
  const auto sheet = CueSheet::parseFile(toQString(dir_ / "album.cue"), {"wav"});
  ASSERT_FALSE(sheet);
  EXPECT_EQ(sheet.error().kind, CueSheetError::Kind::audioFileNotFound);
}

}  // namespace
}  // namespace vexal
