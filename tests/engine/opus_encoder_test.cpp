#include <gtest/gtest.h>

#include <cstring>

#include "encode_test_util.h"

namespace vexal {
namespace {

class OpusEncoder : public test::EncoderTest {
 protected:
  Expected<> run(ConversionSettings settings, const std::string& name, std::optional<AudioMetadata> metadata = {},
                 std::uint32_t rate = 48000) {
    auto request = test::makeRequest(source(rate), dir_ / name, OutputFormat::opus, settings);
    request.metadata = std::move(metadata);
    return encodeOpus(request);
  }
  std::uintmax_t sizeAt(ConversionSettings settings, const std::string& name) {
    return std::filesystem::file_size(encodeTo(OutputFormat::opus, source(48000), name, settings));
  }
};

// The bitrate setting reaches the encoder; without one Opus uses its own 128 kbit/s, even
// when FLAC sorts first.
TEST_F(OpusEncoder, BitrateSettingAndOwnDefault) {
  ConversionSettings settings;
  settings.enabledFormats = {OutputFormat::flac, OutputFormat::opus};
  const auto byDefault = sizeAt(settings, "default.opus");
  const auto at = [&](std::int64_t bitrate) {
    settings.customBitrate = bitrate;
    return sizeAt(settings, std::to_string(bitrate) + ".opus");
  };
  EXPECT_EQ(at(128000), byDefault);
  EXPECT_LT(at(64000), byDefault * 8 / 10);
  EXPECT_GT(at(192000), at(96000) * 14 / 10);
}

TEST_F(OpusEncoder, HeaderKeepsTheInputRateAndFamilyZero) {
  ASSERT_TRUE(run({}, "44k.opus", std::nullopt, 44100).has_value());
  const auto pages = test::oggPages(test::readBytes(dir_ / "44k.opus"));
  ASSERT_FALSE(pages.empty());
  const auto& head = pages.front().body;
  ASSERT_GE(head.size(), 19u);
  ASSERT_EQ(std::memcmp(head.data(), "OpusHead", 8), 0);
  std::uint32_t rate = 0;
  std::memcpy(&rate, &head[12], 4);
  EXPECT_EQ(head[9], 2);  // channels
  EXPECT_EQ(rate, 44100u);
  EXPECT_EQ(head[18], 0);  // channel mapping family
  EXPECT_TRUE(pages.back().flags & 0x04) << "end of stream";
}

}  // namespace
}  // namespace vexal
