// The Xiph-comment mapping shared by Vorbis, Opus and FLAC outputs, and the cover picture
// the Ogg writers add.

#include <gtest/gtest.h>
#include <taglib/flacpicture.h>
#include <taglib/xiphcomment.h>
#include <vorbis/codec.h>

#include <memory>

#include "metadata/metadata_service.h"
#include "metadata/picture_block.h"
#include "support/test_support.h"
#include "tag_fixtures.h"

namespace vexal::MetadataService {
namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

TEST(CommentFieldsTest, FollowsTheMappingInOrder) {
  AudioMetadata metadata;
  metadata.title = "T";
  metadata.artist = "A";
  metadata.album = "";  // empty texts are left out
  metadata.albumArtist = "AA";
  metadata.genre = "G";
  metadata.composer = "C";
  metadata.year = 2021;
  metadata.trackNumber = 5;
  metadata.trackTotal = 10;
  metadata.discNumber = 2;
  metadata.artwork = test::pngImage();  // never a text comment
  EXPECT_EQ(commentFields(metadata), (Fields{{"TITLE", "T"},
                                             {"ARTIST", "A"},
                                             {"ALBUMARTIST", "AA"},
                                             {"GENRE", "G"},
                                             {"COMPOSER", "C"},
                                             {"DATE", "2021"},
                                             {"TRACKNUMBER", "5"},
                                             {"TRACKTOTAL", "10"},
                                             {"DISCNUMBER", "2"}}));
  metadata.trackNumber.reset();  // a total needs a track number
  EXPECT_EQ(commentFields(metadata).size(), 7u);
  EXPECT_EQ(commentFields(metadata).back(), (std::pair<std::string, std::string>{"DISCNUMBER", "2"}));
}

struct ImageCase {
  std::string name;
  std::vector<std::uint8_t> bytes;
  std::optional<std::string> mimeType;
  std::uint32_t width;
  std::uint32_t height;
};

class ImageInfoTest : public testing::TestWithParam<ImageCase> {};

TEST_P(ImageInfoTest, TellsTypeAndSizeFromTheBytes) {
  const auto info = imageInfo(GetParam().bytes);
  ASSERT_EQ(info.has_value(), GetParam().mimeType.has_value());
  if (!info) return;
  EXPECT_EQ(info->mimeType, *GetParam().mimeType);
  EXPECT_EQ(info->width, GetParam().width);
  EXPECT_EQ(info->height, GetParam().height);
}

std::vector<std::uint8_t> bytesOf(std::string_view text) {
  return {text.begin(), text.end()};
}

std::vector<std::uint8_t> bmp() {
  std::vector<std::uint8_t> bytes(54, 0);
  bytes[0] = 'B';
  bytes[1] = 'M';
  bytes[18] = 3;  // width 3
  // Height -2: a top-down bitmap.
  bytes[22] = 0xFE;
  bytes[23] = bytes[24] = bytes[25] = 0xFF;
  bytes[28] = 24;
  return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Images, ImageInfoTest,
    testing::Values(
        ImageCase{"Png", test::pngImage(), "image/png", 1, 1},
        ImageCase{"Jpeg", test::jpegImage(), "image/jpeg", 16, 8},
        ImageCase{"TruncatedJpeg", {0xFF, 0xD8, 0xFF, 0xE0, 0x00}, "image/jpeg", 0, 0},
        ImageCase{"Gif", bytesOf(std::string_view("GIF89a\x05\x00\x07\x00", 10)), "image/gif", 5,
                  7},
        ImageCase{"Webp", bytesOf(std::string_view("RIFF\x10\x00\x00\x00WEBPVP8 ", 16)),
                  "image/webp", 0, 0},
        ImageCase{"Bmp", bmp(), "image/bmp", 3, 2},
        ImageCase{
            "PngSignatureOnly", {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}, "image/png", 0, 0},
        ImageCase{"Text", bytesOf("not an image at all"), std::nullopt, 0, 0},
        ImageCase{"Empty", {}, std::nullopt, 0, 0}),
    [](const auto& info) { return info.param.name; });

TEST(Base64Test, EncodesWithPadding) {
  EXPECT_EQ(base64(bytesOf("")), "");
  EXPECT_EQ(base64(bytesOf("f")), "Zg==");
  EXPECT_EQ(base64(bytesOf("fo")), "Zm8=");
  EXPECT_EQ(base64(bytesOf("foo")), "Zm9v");
  EXPECT_EQ(base64(bytesOf("foobar")), "Zm9vYmFy");
  EXPECT_EQ(base64(std::vector<std::uint8_t>{0xFB, 0xFF}), "+/8=");
}

struct VorbisComment {
  VorbisComment() { vorbis_comment_init(&comment); }
  ~VorbisComment() { vorbis_comment_clear(&comment); }
  vorbis_comment comment;
};

TEST(AddVorbisCommentsTest, AddsTheCoverAsABase64PictureBlock) {
  AudioMetadata metadata;
  metadata.title = "T";
  metadata.trackNumber = 5;
  metadata.artwork = test::jpegImage();
  VorbisComment vorbis;
  addVorbisComments(&vorbis.comment, metadata);
  EXPECT_STREQ(vorbis_comment_query(&vorbis.comment, "TITLE", 0), "T");
  EXPECT_STREQ(vorbis_comment_query(&vorbis.comment, "TRACKNUMBER", 0), "5");
  const char* encoded = vorbis_comment_query(&vorbis.comment, "METADATA_BLOCK_PICTURE", 0);
  ASSERT_NE(encoded, nullptr);
  TagLib::FLAC::Picture picture;
  ASSERT_TRUE(picture.parse(TagLib::ByteVector::fromBase64(encoded)));
  EXPECT_EQ(picture.type(), TagLib::FLAC::Picture::FrontCover);
  EXPECT_EQ(picture.mimeType(), "image/jpeg");
  EXPECT_EQ(picture.width(), 16);
  EXPECT_EQ(picture.height(), 8);
  const auto& jpeg = test::jpegImage();
  EXPECT_EQ(picture.data(), TagLib::ByteVector(reinterpret_cast<const char*>(jpeg.data()),
                                               static_cast<unsigned int>(jpeg.size())));
}

TEST(AddVorbisCommentsTest, LeavesOutBytesThatAreNoImage) {
  for (const auto& artwork : {bytesOf("plain text"), std::vector<std::uint8_t>{}}) {
    AudioMetadata metadata;
    metadata.artwork = artwork;
    VorbisComment vorbis;
    addVorbisComments(&vorbis.comment, metadata);
    EXPECT_EQ(vorbis_comment_query_count(&vorbis.comment, "METADATA_BLOCK_PICTURE"), 0);
  }
}

}  // namespace
}  // namespace vexal::MetadataService
