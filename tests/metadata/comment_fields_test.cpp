// The image facts a cover picture is labelled with, and pictures made smaller for devices
// (the pictures themselves are checked by the tag round trip of every output format).

#include <gtest/gtest.h>

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

// The first quantisation table of a JPEG, in the zigzag order it is stored in.
std::vector<std::uint8_t> firstQuantisationTable(const std::vector<std::uint8_t>& jpeg) {
  for (std::size_t i = 2; i + 69 <= jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xDB) return {jpeg.begin() + i + 5, jpeg.begin() + i + 69};
  }
  return {};
}

// A picture larger than the limit becomes a JPEG with its longer side at the limit, its
// aspect kept and libjpeg's quality-90 steps; a smaller one is never enlarged.
TEST(FitPicturesTest, ShrinksLargerPicturesToQuality90Jpegs) {
  test::TempDir dir;
  ASSERT_EQ(std::system(("ffmpeg -nostdin -loglevel error -f lavfi -i testsrc=size=300x200 -frames:v 1 '" +
                         (dir / "big.png").string() + "'").c_str()), 0);
  AudioMetadata metadata;
  metadata.artwork = test::readBytes(dir / "big.png");
  metadata.pictures = {TagPicture{4, "Back", *metadata.artwork}, TagPicture{5, "Small", test::pngImage()}};
  fitPictures(metadata, 150, false);

  for (const auto& image : {*metadata.artwork, metadata.pictures[0].data}) {
    const auto info = imageInfo(image);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->mimeType, "image/jpeg");
    EXPECT_EQ(info->width, 150u);
    EXPECT_EQ(info->height, 100u);
    // Luminance steps after the DC one, in zigzag order (libjpeg: Annex K x 0.2).
    const auto table = firstQuantisationTable(image);
    ASSERT_EQ(table.size(), 64u);
    EXPECT_EQ(std::vector<std::uint8_t>(table.begin() + 1, table.begin() + 16),
              (std::vector<std::uint8_t>{2, 2, 3, 2, 2, 3, 3, 3, 3, 4, 3, 3, 4, 5, 8}));
  }
  EXPECT_EQ(metadata.pictures[1].data, test::pngImage());

  fitPictures(metadata, std::nullopt, true);
  EXPECT_TRUE(metadata.pictures.empty());
  EXPECT_TRUE(metadata.artwork);
}

}  // namespace
}  // namespace vexal::MetadataService
