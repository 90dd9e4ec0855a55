#include <gtest/gtest.h>

#include <cstring>

#include "encode_test_util.h"

namespace vexal {
namespace {

constexpr std::int64_t kSourceFrames = 44100 * 3;

class VorbisEncoder : public test::EncoderTest {
 protected:
  std::filesystem::path encode(ConversionSettings settings, const std::string& name,
                               std::optional<AudioMetadata> metadata = {}) {
    return encodeTo(OutputFormat::vorbis, source(44100), name, settings, metadata);
  }
};

struct Identification {
  std::int32_t maximum = 0;
  std::int32_t nominal = 0;
  std::int32_t minimum = 0;
};

Identification identification(const std::vector<test::OggPage>& pages) {
  Identification id;
  if (pages.empty() || pages[0].body.size() < 30) return id;
  const auto& body = pages[0].body;
  EXPECT_EQ(std::memcmp(body.data(), "\x01vorbis", 7), 0);
  std::memcpy(&id.maximum, &body[16], 4);
  std::memcpy(&id.nominal, &body[20], 4);
  std::memcpy(&id.minimum, &body[24], 4);
  return id;
}

TEST_F(VorbisEncoder, NominalBitrateIsWholeKilobitsAndTheAverageFollowsIt) {
  ConversionSettings settings;
  settings.customBitrate = 160500;
  const auto pages = test::oggPages(test::readBytes(encode(settings, "160.ogg")));
  const auto id = identification(pages);
  EXPECT_EQ(id.nominal, 160000);
  EXPECT_EQ(id.maximum, -1);
  EXPECT_EQ(id.minimum, -1);

  std::size_t audioBytes = 0;
  for (const auto& page : pages) {
    if (page.granule > 0) audioBytes += page.size;
  }
  const double average = audioBytes * 8.0 / (static_cast<double>(kSourceFrames) / 44100.0);
  EXPECT_NEAR(average, 160000.0, 160000.0 * 0.15);
}

TEST_F(VorbisEncoder, StreamSerialFollowsTheOutputPath) {
  const auto first = encode({}, "a.ogg");
  const auto serialA = test::oggPages(test::readBytes(first)).front().serial;
  encode({}, "a.ogg");
  EXPECT_EQ(test::oggPages(test::readBytes(first)).front().serial, serialA);
  const auto other = test::oggPages(test::readBytes(encode({}, "b.ogg"))).front().serial;
  EXPECT_NE(other, serialA);
}

TEST_F(VorbisEncoder, HeadersHaveTheirOwnPagesAndTheLastPageEndsTheStream) {
  const auto pages = test::oggPages(test::readBytes(encode({}, "pages.ogg")));
  ASSERT_GE(pages.size(), 4u);
  // Identification alone on the first page; comment and codebook end their page.
  EXPECT_EQ(pages[0].granule, 0);
  EXPECT_TRUE(pages[0].flags & 0x02) << "beginning of stream";
  EXPECT_EQ(pages[1].granule, 0);
  EXPECT_TRUE(pages.back().flags & 0x04) << "end of stream";
  EXPECT_EQ(pages.back().granule, kSourceFrames);
}

// No clipping stage: samples beyond full scale reach the encoder as they are.
TEST_F(VorbisEncoder, GainIsNotClipped) {
  const auto tone = test::writeAudio(dir_.path(), "tone", test::sine(44100, 1, 1.0, 1000, -6.0206), test::InputKind::wav16);
  auto request = test::makeRequest(tone, dir_ / "loud.ogg", OutputFormat::vorbis);
  request.gain = 2.5;
  ASSERT_TRUE(encodeVorbis(request).has_value());
  // Amplitude 1.25: RMS −1.07 dBFS; a clipped one would stay below −1.5.
  EXPECT_NEAR(test::rmsDbfs(test::decodeFile(request.output)), -1.07, 0.3);
}

}  // namespace
}  // namespace vexal
