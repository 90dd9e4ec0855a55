// readMetadata on real files of every source container, tagged through TagLib.

#include <gtest/gtest.h>
#include <taglib/apetag.h>
#include <taglib/asffile.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/flacfile.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4file.h>
#include <taglib/mpegfile.h>
#include <taglib/textidentificationframe.h>
#include <taglib/tpropertymap.h>
#include <taglib/vorbisfile.h>
#include <taglib/wavfile.h>
#include <taglib/xiphcomment.h>

#include <functional>

#include "metadata/metadata_service.h"
#include "platform/media_assets.h"
#include "support/test_support.h"
#include "tag_fixtures.h"

// Expected records name only the fields they hold; GCC 12 warns about the rest.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace vexal {
namespace {

using test::pngImage;

TagLib::ByteVector byteVector(const std::vector<std::uint8_t>& data) {
  return {reinterpret_cast<const char*>(data.data()), static_cast<unsigned int>(data.size())};
}

TagLib::String utf8(const char* text) {
  return TagLib::String(text, TagLib::String::UTF8);
}

enum class Kind { mp3Id3v23, mp3Id3v24, mp3Ape, m4aAac, flac, vorbis, wma, wav };

struct Source {
  Kind kind;
  std::string name;
  std::string encoder;
  std::string extension;
};

// What a fully tagged source holds: two artists and two genres as the container holds
// several values (repeated comments, a multi-value frame or atom, an APE list; an ASF
// author is one text), and a full date.
TagLib::PropertyMap fullProperties(bool severalValues) {
  TagLib::PropertyMap properties;
  for (const auto& [key, value] :
       {std::pair{"TITLE", "Fl\xC3\xBCgel"}, {"ALBUM", "The Album"}, {"ALBUMARTIST", "Album Artist"},
        {"TRACKNUMBER", "3/12"}, {"DISCNUMBER", "2/3"}, {"DATE", "2004-05-17"}, {"COMPOSER", "The Composer"}}) {
    properties.insert(key, TagLib::StringList(utf8(value)));
  }
  properties.insert("ARTIST", TagLib::StringList(utf8("The Artist")).append(utf8("Zw\xC3\xB6lf")));
  properties.insert("GENRE", TagLib::StringList("Rock").append("Pop"));
  if (!severalValues) properties.replace("ARTIST", TagLib::StringList(utf8("The Artist")));
  if (!severalValues) properties.replace("GENRE", TagLib::StringList("Rock"));
  return properties;
}

TagLib::FLAC::Picture* flacPicture() {
  auto* picture = new TagLib::FLAC::Picture;
  picture->setType(TagLib::FLAC::Picture::FrontCover);
  picture->setMimeType("image/png");
  picture->setData(byteVector(pngImage()));
  return picture;
}

void addApic(TagLib::ID3v2::Tag& tag) {
  auto* frame = new TagLib::ID3v2::AttachedPictureFrame;
  frame->setMimeType("image/png");
  frame->setType(TagLib::ID3v2::AttachedPictureFrame::FrontCover);
  frame->setPicture(byteVector(pngImage()));
  tag.addFrame(frame);
}

// Tags `file` with `properties` through the tag its kind carries, with the cover when
// asked.
bool tagWith(Kind kind, const std::filesystem::path& file, const TagLib::PropertyMap& properties,
             bool cover) {
  const auto path = file.c_str();
  switch (kind) {
    case Kind::mp3Id3v23:
    case Kind::mp3Id3v24: {
      TagLib::MPEG::File mp3(path);
      auto* tag = mp3.ID3v2Tag(true);
      tag->setProperties(properties);
      if (cover) addApic(*tag);
      return mp3.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripOthers,
                      kind == Kind::mp3Id3v23 ? TagLib::ID3v2::v3 : TagLib::ID3v2::v4);
    }
    case Kind::mp3Ape: {
      TagLib::MPEG::File mp3(path);
      auto* tag = mp3.APETag(true);
      tag->setProperties(properties);
      TagLib::ByteVector image("cover.png");
      image.append('\0');
      image.append(byteVector(pngImage()));
      if (cover) tag->setData("COVER ART (FRONT)", image);
      return mp3.save(TagLib::MPEG::File::APE, TagLib::File::StripOthers);
    }
    case Kind::m4aAac: {
      TagLib::MP4::File m4a(path);
      m4a.tag()->setProperties(properties);
      TagLib::MP4::CoverArtList covers;
      covers.append(TagLib::MP4::CoverArt(TagLib::MP4::CoverArt::PNG, byteVector(pngImage())));
      if (cover) m4a.tag()->setItem("covr", covers);
      return m4a.save();
    }
    case Kind::flac: {
      TagLib::FLAC::File flac(path);
      flac.xiphComment(true)->setProperties(properties);
      if (cover) flac.addPicture(flacPicture());
      return flac.save();
    }
    case Kind::vorbis: {
      TagLib::Ogg::Vorbis::File ogg(path);
      ogg.tag()->setProperties(properties);
      if (cover) ogg.tag()->addPicture(flacPicture());
      return ogg.save();
    }
    case Kind::wma: {
      TagLib::ASF::File wma(path);
      wma.tag()->setProperties(properties);
      if (!cover) return wma.save();
      TagLib::ASF::Picture picture;
      picture.setType(TagLib::ASF::Picture::FrontCover);
      picture.setMimeType("image/png");
      picture.setPicture(byteVector(pngImage()));
      wma.tag()->addAttribute("WM/Picture", TagLib::ASF::Attribute(picture));
      return wma.save();
    }
    case Kind::wav: {
      TagLib::RIFF::WAV::File wav(path);
      wav.ID3v2Tag()->setProperties(properties);
      if (cover) addApic(*wav.ID3v2Tag());
      return wav.save(TagLib::RIFF::WAV::File::ID3v2);
    }
  }
  return false;
}

class ReadMetadataTest : public testing::TestWithParam<Source> {
 protected:
  test::TempDir dir_;
};

// Untagged, the file reads as an empty record; fully tagged, as every field, several
// values joined.
TEST_P(ReadMetadataTest, ReadsEveryFieldOfAFullyTaggedFile) {
  const auto file = dir_ / ("song." + GetParam().extension);
  ASSERT_TRUE(test::writeTone(file, GetParam().encoder, 0.3));
  EXPECT_EQ(MetadataService::readMetadata(file), AudioMetadata{});
  const bool several = GetParam().kind != Kind::wma;
  ASSERT_TRUE(tagWith(GetParam().kind, file, fullProperties(several), true));

  const AudioMetadata expected{.title = "Fl\xC3\xBCgel",
                               .artist = several ? "The Artist; Zw\xC3\xB6lf" : "The Artist",
                               .album = "The Album",
                               .albumArtist = "Album Artist",
                               .trackNumber = 3,
                               .trackTotal = 12,
                               .discNumber = 2,
                               .genre = several ? "Rock; Pop" : "Rock",
                               .year = 2004,
                               .date = "2004-05-17",
                               .composer = "The Composer",
                               .artwork = pngImage(),
                               .properties = {{"DISCTOTAL", {"3"}}}};  // "2/3" in every container
  EXPECT_EQ(MetadataService::readMetadata(file), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Containers, ReadMetadataTest,
    testing::Values(Source{Kind::mp3Id3v23, "Mp3Id3v23", "-c:a libmp3lame -b:a 96k", "mp3"},
                    Source{Kind::mp3Id3v24, "Mp3Id3v24", "-c:a libmp3lame -b:a 96k", "mp3"},
                    Source{Kind::mp3Ape, "Mp3Ape",
                           "-c:a libmp3lame -b:a 96k -write_xing 0 -id3v2_version 0", "mp3"},
                    Source{Kind::m4aAac, "M4aAac", "-c:a aac -b:a 96k", "m4a"},
                    Source{Kind::flac, "Flac", "-c:a flac", "flac"},
                    Source{Kind::vorbis, "OggVorbis", "-c:a libvorbis", "ogg"},
                    Source{Kind::wma, "Wma", "-c:a wmav2", "wma"},
                    Source{Kind::wav, "WavId3", "-c:a pcm_s16le", "wav"}),
    [](const auto& info) { return info.param.name; });

// A tone of one kind, tagged by `tag`, and the record reading it must give back.
struct EdgeCase {
  std::string name;
  std::string file;
  std::string encoder;
  std::function<bool(const char* path)> tag;
  AudioMetadata expected;
};

// An ID3v2.3 tag holding exactly the given text frames.
std::function<bool(const char*)> id3Frames(std::vector<std::pair<const char*, const char*>> frames) {
  return [frames](const char* path) {
    TagLib::MPEG::File mp3(path);
    for (const auto& [id, text] : frames) {
      auto* frame = new TagLib::ID3v2::TextIdentificationFrame(id, TagLib::String::UTF8);
      frame->setText(utf8(text));
      mp3.ID3v2Tag(true)->addFrame(frame);
    }
    return mp3.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripOthers, TagLib::ID3v2::v3);
  };
}

class ReadMetadataEdgeTest : public testing::TestWithParam<EdgeCase> {
 protected:
  test::TempDir dir_;
};

TEST_P(ReadMetadataEdgeTest, ReadsTheExpectedRecord) {
  const auto file = dir_ / GetParam().file;
  ASSERT_TRUE(test::writeTone(file, GetParam().encoder, 0.3));
  ASSERT_TRUE(GetParam().tag(file.c_str()));
  EXPECT_EQ(MetadataService::readMetadata(file), GetParam().expected);
}

const std::string kMp3 = "-c:a libmp3lame -b:a 64k";

INSTANTIATE_TEST_SUITE_P(
    Tags, ReadMetadataEdgeTest,
    testing::Values(
        // A lone total is the track; a year is the date's first four digits; a genre
        // reference becomes its name; two title frames give both titles.
        EdgeCase{"Id3Quirks", "a.mp3", kMp3,
                 id3Frames({{"TRCK", "/12"},
                            {"TYER", "1997-05"},
                            {"TCON", "(17)"},
                            {"TIT2", "First"},
                            {"TIT2", "Second"}}),
                 {.title = "First; Second", .trackNumber = 12, .genre = "Rock", .year = 1997,
                  .date = "1997-05"}},
        EdgeCase{"Mp4TimestampAndEmptyGenre", "c.m4a", "-c:a aac -b:a 64k",
                 [](const char* path) {
                   TagLib::MP4::File m4a(path);
                   m4a.tag()->setItem(utf8("\u00A9day"),
                                      TagLib::StringList("2004-05-17T07:00:00Z"));
                   m4a.tag()->setItem("trkn", TagLib::MP4::Item(7, 0));
                   m4a.tag()->setItem(utf8("\u00A9gen"), TagLib::StringList(""));
                   m4a.tag()->setItem(utf8("\u00A9nam"), TagLib::StringList("T"));
                   return m4a.save();
                 },
                 {.title = "T", .trackNumber = 7, .genre = "", .year = 2004,
                  .date = "2004-05-17T07:00:00Z"}},
        EdgeCase{"XiphTrackTotalField", "d.flac", "-c:a flac",
                 [](const char* path) {
                   TagLib::FLAC::File flac(path);
                   auto* comment = flac.xiphComment(true);
                   comment->addField("TRACKNUMBER", "3");
                   comment->addField("TRACKTOTAL", "12");
                   comment->addField("DISCNUMBER", "1/2");
                   comment->addField("DATE", "1987");
                   return flac.save();
                 },
                 {.trackNumber = 3, .trackTotal = 12, .discNumber = 1, .year = 1987,
                  .properties = {{"DISCTOTAL", {"2"}}}}},
        // The other names of the totals fold into the usual ones; what describes the
        // file's own encoding stays behind; other keys come along.
        EdgeCase{"XiphOtherTotalNamesAndEncodingFacts", "e.flac", "-c:a flac",
                 [](const char* path) {
                   TagLib::FLAC::File flac(path);
                   auto* comment = flac.xiphComment(true);
                   for (const auto& [key, value] : {std::pair{"TRACKNUMBER", "3"}, {"TOTALTRACKS", "12"},
                                                    {"DISCNUMBER", "1"}, {"TOTALDISCS", "2"},
                                                    {"ENCODER", "some encoder"}, {"ITUNSMPB", "00000000 00000840"},
                                                    {"LABEL", "Test Records"}}) {
                     comment->addField(key, value);
                   }
                   return flac.save();
                 },
                 {.trackNumber = 3, .trackTotal = 12, .discNumber = 1,
                  .properties = {{"DISCTOTAL", {"2"}}, {"LABEL", {"Test Records"}}}}}),
    [](const auto& info) { return info.param.name; });

TEST(ReadMetadataFailureTest, UnreadableFilesGiveAnEmptyRecord) {
  test::TempDir dir_;
  const auto garbage = dir_ / "garbage.mp3";
  test::writeBytes(garbage, std::vector<std::uint8_t>(4096, 0x5A));
  const auto empty = dir_ / "empty.flac";
  test::writeBytes(empty, {});
  const auto caf = dir_ / "tone.caf";
  ASSERT_TRUE(test::writeTone(caf, "-c:a pcm_s16le -f caf", 0.3));
  for (const auto& file : {garbage, empty, caf, dir_ / "missing.m4a", dir_.path()}) {
    SCOPED_TRACE(file.string());
    EXPECT_EQ(MetadataService::readMetadata(file), AudioMetadata{});
  }
  EXPECT_FALSE(platform::loadFileTags(dir_ / "missing.m4a"));
}

}  // namespace
}  // namespace vexal
