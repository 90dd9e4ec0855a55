// The image facts a cover picture is labelled with (the pictures themselves are checked
// by the tag round trip of every output format).

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace vexal::MetadataService
