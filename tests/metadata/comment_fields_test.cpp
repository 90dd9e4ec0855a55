// The cover picture the Ogg writers add beside the Xiph comments, and the image facts it
// is labelled with.

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

std::vector<std::uint8_t> bytesOf(std::string_view text) { return {text.begin(), text.end()}; }

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

INSTANTIATE_TEST_SUITE_P(
    Images, ImageInfoTest,
    testing::Values(ImageCase{"Png", test::pngImage(), "image/png", 1, 1},
                    ImageCase{"Jpeg", test::jpegImage(), "image/jpeg", 16, 8},
                    ImageCase{"TruncatedJpeg", {0xFF, 0xD8, 0xFF, 0xE0, 0x00}, "image/jpeg", 0, 0},
                    ImageCase{"Gif", bytesOf(std::string_view("GIF89a\x05\x00\x07\x00", 10)), "image/gif", 5, 7},
                    ImageCase{"Text", bytesOf("not an image at all"), std::nullopt, 0, 0},
                    ImageCase{"Empty", {}, std::nullopt, 0, 0}),
    [](const auto& info) { return info.param.name; });

TEST(Base64Test, EncodesWithPadding) {
  EXPECT_EQ(base64(bytesOf("f")), "Zg==");
  EXPECT_EQ(base64(bytesOf("fo")), "Zm8=");
  EXPECT_EQ(base64(bytesOf("foobar")), "Zm9vYmFy");
  EXPECT_EQ(base64(std::vector<std::uint8_t>{0xFB, 0xFF}), "+/8=");
}

// A Vorbis comment block gets the cover as a base64 picture block; bytes that are no
// image are left out.
TEST(AddVorbisCommentsTest, AddsTheCoverAsAPictureBlockOnlyForImages) {
  const auto pictureOf = [](std::vector<std::uint8_t> artwork) {
    AudioMetadata metadata;
    metadata.title = "T";
    metadata.artwork = std::move(artwork);
    vorbis_comment comment;
    vorbis_comment_init(&comment);
    addVorbisComments(&comment, metadata);
    EXPECT_STREQ(vorbis_comment_query(&comment, "TITLE", 0), "T");
    const char* encoded = vorbis_comment_query(&comment, "METADATA_BLOCK_PICTURE", 0);
    std::shared_ptr<TagLib::FLAC::Picture> picture;
    if (encoded != nullptr) {
      picture = std::make_shared<TagLib::FLAC::Picture>();
      EXPECT_TRUE(picture->parse(TagLib::ByteVector::fromBase64(encoded)));
    }
    vorbis_comment_clear(&comment);
    return picture;
  };
  const auto picture = pictureOf(test::jpegImage());
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->type(), TagLib::FLAC::Picture::FrontCover);
  EXPECT_EQ(picture->mimeType(), "image/jpeg");
  EXPECT_EQ(picture->width(), 16);
  EXPECT_EQ(picture->height(), 8);
  const auto& jpeg = test::jpegImage();
  EXPECT_EQ(picture->data(), TagLib::ByteVector(reinterpret_cast<const char*>(jpeg.data()),
                                                static_cast<unsigned int>(jpeg.size())));
  EXPECT_FALSE(pictureOf(bytesOf("plain text")));
  EXPECT_FALSE(pictureOf({}));
}

}  // namespace
}  // namespace vexal::MetadataService
