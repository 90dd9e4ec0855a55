// Tags carried from a fully tagged FLAC source through AudioProcessor::convert into every
// output format, read back through the tag reader.

#include <gtest/gtest.h>
#include <taglib/flacfile.h>
#include <taglib/flacpicture.h>
#include <taglib/tpropertymap.h>
#include <taglib/xiphcomment.h>

#include "engine/audio_processor.h"
#include "metadata/metadata_service.h"
#include "model/output_format.h"
#include "support/test_support.h"

namespace vexal {
namespace {

// A valid 1x1 PNG.
const std::vector<std::uint8_t> kCover = {
    0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48,
    0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00,
    0x00, 0x1F, 0x15, 0xC4, 0x89, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x44, 0x41, 0x54, 0x78,
    0xDA, 0x63, 0x64, 0x60, 0xF8, 0x5F, 0x0F, 0x00, 0x02, 0x87, 0x01, 0x80, 0xEB, 0x47,
    0xBA, 0x92, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};

TagLib::StringList text(const char* utf8) {
  return TagLib::StringList(TagLib::String(utf8, TagLib::String::UTF8));
}

AudioMetadata sourceRecord() {
  AudioMetadata metadata;
  metadata.title = "Fl\xC3\xBCgel";
  metadata.artist = "The Artist";
  metadata.album = "The Album";
  metadata.albumArtist = "Album Artist";
  metadata.trackNumber = 3;
  metadata.trackTotal = 12;
  metadata.discNumber = 2;
  metadata.genre = "Rock";
  metadata.year = 2004;
  metadata.composer = "The Composer";
  metadata.artwork = kCover;
  return metadata;
}

// A two-second tone in FLAC, tagged with `properties` and, when asked, the cover.
std::filesystem::path taggedSource(const test::TempDir& dir, const TagLib::PropertyMap& properties,
                                   bool cover) {
  const auto file = test::writeAudio(dir.path(), "source", test::sine(44100, 2, 2.0, 440, -6),
                                     test::InputKind::flac16);
  TagLib::FLAC::File flac(file.c_str());
  flac.xiphComment(true)->setProperties(properties);
  if (cover) {
    auto* picture = new TagLib::FLAC::Picture;
    picture->setType(TagLib::FLAC::Picture::FrontCover);
    picture->setMimeType("image/png");
    picture->setData(TagLib::ByteVector(reinterpret_cast<const char*>(kCover.data()),
                                        static_cast<unsigned int>(kCover.size())));
    flac.addPicture(picture);
  }
  EXPECT_TRUE(flac.save());
  return file;
}

TagLib::PropertyMap fullProperties() {
  TagLib::PropertyMap properties;
  properties.insert("TITLE", text("Fl\xC3\xBCgel"));
  properties.insert("ARTIST", text("The Artist"));
  properties.insert("ALBUM", text("The Album"));
  properties.insert("ALBUMARTIST", text("Album Artist"));
  properties.insert("TRACKNUMBER", text("3"));
  properties.insert("TRACKTOTAL", text("12"));
  properties.insert("DISCNUMBER", text("2"));
  properties.insert("GENRE", text("Rock"));
  properties.insert("DATE", text("2004-05-17"));
  properties.insert("COMPOSER", text("The Composer"));
  return properties;
}

// What each format keeps of the source's record.
AudioMetadata expectedIn(OutputFormat format) {
  auto metadata = sourceRecord();
  switch (format) {
    case OutputFormat::wav:
    case OutputFormat::aiff:
      return {};
    case OutputFormat::aac:
    case OutputFormat::alac:
      metadata.trackTotal.reset();
      break;  // MP4 files carry no total
    default:
      break;
  }
  return metadata;
}

class TagRoundTripTest : public testing::TestWithParam<OutputFormat> {
 protected:
  std::filesystem::path convert(const std::filesystem::path& source, bool preserve) {
    ConversionSettings settings;
    settings.enabledFormats = {GetParam()};
    settings.preserveMetadata = preserve;
    const auto output = dir_ / ("out." + std::string(fileExtension(GetParam())));
    const auto result = AudioProcessor::convert(source, output, GetParam(), settings, std::nullopt,
                                                std::nullopt, {});
    EXPECT_TRUE(result.has_value());
    return output;
  }

  test::TempDir dir_;
};

TEST_P(TagRoundTripTest, CarriesEveryFieldTheFormatTakes) {
  const auto source = taggedSource(dir_, fullProperties(), true);
  ASSERT_EQ(MetadataService::readMetadata(source), sourceRecord());
  const auto output = convert(source, true);
  EXPECT_EQ(MetadataService::readMetadata(output), expectedIn(GetParam()));
}

TEST_P(TagRoundTripTest, WritesNothingWithPreserveMetadataOff) {
  const auto output = convert(taggedSource(dir_, fullProperties(), true), false);
  EXPECT_EQ(MetadataService::readMetadata(output), AudioMetadata{});
}

TEST_P(TagRoundTripTest, WritesNothingForARecordWithoutContent) {
  TagLib::PropertyMap properties;
  properties.insert("GENRE", text("Rock"));
  properties.insert("DATE", text("2004"));
  const auto output = convert(taggedSource(dir_, properties, false), true);
  EXPECT_EQ(MetadataService::readMetadata(output), AudioMetadata{});
}

INSTANTIATE_TEST_SUITE_P(Formats, TagRoundTripTest, testing::ValuesIn(kAllOutputFormats),
                         [](const auto& info) { return std::string(rawValue(info.param)); });

}  // namespace
}  // namespace vexal
