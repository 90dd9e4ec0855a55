// Tags written by careless or hostile taggers: reading must neither crash nor fail, only
// give less. Run in the sanitizer build to catch reads past a buffer.

#include <gtest/gtest.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/fileref.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/tpropertymap.h>

#include <algorithm>
#include <random>

#include "metadata/metadata_service.h"
#include "platform/media_assets.h"
#include "support/test_support.h"
#include "tag_fixtures.h"

namespace vexal {
namespace {

using Bytes = std::vector<std::uint8_t>;

void putBigEndian(Bytes& bytes, std::size_t offset, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

std::size_t find(const Bytes& bytes, std::string_view pattern, std::size_t from = 0) {
  const auto it = std::search(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end(),
                              pattern.begin(), pattern.end(), [](std::uint8_t byte, char c) {
                                return byte == static_cast<std::uint8_t>(c);
                              });
  return it == bytes.end() ? std::string::npos : static_cast<std::size_t>(it - bytes.begin());
}

class MalformedTagsTest : public testing::Test {
 protected:
  // A short file of the given kind with a full tag set, as bytes.
  Bytes tagged(const std::string& name, const std::string& encoder) {
    const auto file = dir_ / name;
    EXPECT_TRUE(test::writeTone(file, encoder, 0.2));
    TagLib::FileRef ref(file.c_str());
    EXPECT_FALSE(ref.isNull()) << name;
    if (ref.isNull()) return {};
    TagLib::PropertyMap properties;
    for (const char* key : {"TITLE", "ARTIST", "ALBUM", "ALBUMARTIST", "GENRE", "COMPOSER"}) {
      properties.insert(key, TagLib::StringList(TagLib::String(std::string(key) + " value")));
    }
    properties.insert("TRACKNUMBER", TagLib::StringList("3/12"));
    properties.insert("DATE", TagLib::StringList("2004"));
    ref.file()->setProperties(properties);
    EXPECT_TRUE(ref.save());
    return test::readBytes(file);
  }

  // Reads through the file system as well as from memory.
  void readBoth(const Bytes& bytes, const std::string& extension) {
    const auto file = dir_ / ("broken." + extension);
    test::writeBytes(file, bytes);
    (void)MetadataService::readMetadata(file);
    (void)platform::loadMetadataItems(bytes);
  }

  test::TempDir dir_;
};

TEST_F(MalformedTagsTest, Id3SizesBeyondTheFile) {
  auto bytes = tagged("sizes.mp3", "-c:a libmp3lame -b:a 64k");
  ASSERT_EQ(find(bytes, "ID3"), 0u);
  // Tag size (syncsafe) at its maximum, far beyond the file.
  auto huge = bytes;
  huge[6] = huge[7] = huge[8] = huge[9] = 0x7F;
  readBoth(huge, "mp3");
  // A frame whose size field claims more than the tag holds.
  auto frame = bytes;
  const auto title = find(frame, "TIT2");
  ASSERT_NE(title, std::string::npos);
  putBigEndian(frame, title + 4, 0x0FFFFFFF);
  readBoth(frame, "mp3");
  putBigEndian(frame, title + 4, 0);
  readBoth(frame, "mp3");
}

TEST_F(MalformedTagsTest, InvalidUtf8InTextFrames) {
  const auto file = dir_ / "utf8.mp3";
  ASSERT_TRUE(test::writeTone(file, "-c:a libmp3lame -b:a 64k", 0.2));
  {
    TagLib::MPEG::File mp3(file.c_str());
    mp3.ID3v2Tag(true)->setTitle("XXXXXXXX");
    ASSERT_TRUE(mp3.save(TagLib::MPEG::File::ID3v2));
  }
  auto bytes = test::readBytes(file);
  const auto title = find(bytes, "XXXXXXXX");
  ASSERT_NE(title, std::string::npos);
  const Bytes invalid = {0xC3, 0x28, 0xFF, 0xFE, 0xED, 0xA0, 0x80, 0xF8};
  std::copy(invalid.begin(), invalid.end(), bytes.begin() + static_cast<std::ptrdiff_t>(title));
  test::writeBytes(file, bytes);
  const auto metadata = MetadataService::readMetadata(file);
  ASSERT_TRUE(metadata.title);  // some text, whatever the decoder made of it
}

TEST_F(MalformedTagsTest, AFiftyMegabyteCoverIsRead) {
  const auto file = dir_ / "cover.mp3";
  ASSERT_TRUE(test::writeTone(file, "-c:a libmp3lame -b:a 64k", 0.2));
  Bytes cover(50 * 1024 * 1024, 0x5A);
  std::copy(test::jpegImage().begin(), test::jpegImage().end(), cover.begin());
  {
    TagLib::MPEG::File mp3(file.c_str());
    auto* frame = new TagLib::ID3v2::AttachedPictureFrame;
    frame->setMimeType("image/jpeg");
    frame->setPicture(TagLib::ByteVector(reinterpret_cast<const char*>(cover.data()),
                                         static_cast<unsigned int>(cover.size())));
    mp3.ID3v2Tag(true)->addFrame(frame);
    mp3.ID3v2Tag()->setTitle("Big");
    ASSERT_TRUE(mp3.save(TagLib::MPEG::File::ID3v2));
  }
  const auto metadata = MetadataService::readMetadata(file);
  EXPECT_EQ(metadata.title, "Big");
  ASSERT_TRUE(metadata.artwork);
  EXPECT_EQ(metadata.artwork->size(), cover.size());
}

TEST_F(MalformedTagsTest, Mp4AtomSizesBeyondTheFile) {
  const auto bytes = tagged("atoms.m4a", "-c:a aac -b:a 64k");
  for (const char* atom : {"ilst", "\xA9nam", "trkn", "meta", "udta", "moov"}) {
    const auto at = find(bytes, atom);
    ASSERT_NE(at, std::string::npos) << atom;
    for (std::uint32_t size : {0xFFFFFFF0u, 0u, 1u, 7u, 9u}) {
      auto broken = bytes;
      putBigEndian(broken, at - 4, size);
      readBoth(broken, "m4a");
    }
  }
}

TEST_F(MalformedTagsTest, FlacAndOggBlockLengthsBeyondTheFile) {
  const auto flac = tagged("blocks.flac", "-c:a flac");
  const auto vendor = find(flac, "Lavf");
  ASSERT_NE(vendor, std::string::npos);
  for (std::uint32_t length : {0xFFFFFFFFu, 0x7FFFFFFFu, 0u}) {
    auto broken = flac;
    // The vendor string's length (little-endian) sits just before it; the field count
    // comes after it.
    for (int i = 0; i < 4; ++i)
      broken[vendor - 4 + i] = static_cast<std::uint8_t>(length >> (8 * i));
    readBoth(broken, "flac");
  }
  const auto ogg = tagged("comments.ogg", "-c:a libvorbis");
  const auto comment = find(ogg, "\x03vorbis");
  ASSERT_NE(comment, std::string::npos);
  auto broken = ogg;
  std::fill_n(broken.begin() + static_cast<std::ptrdiff_t>(comment + 7), 4, 0xFF);
  readBoth(broken, "ogg");
}

TEST_F(MalformedTagsTest, AsfAttributeCountsRunningPastTheEnd) {
  // The extended content description object, its count set to the maximum and the file
  // cut right after it: the parser is left asking for 65535 attributes from nothing
  // (about a fifth of a second of TagLib's time, then no items).
  const auto wma = tagged("counts.wma", "-c:a wmav2");
  const auto description = find(
      wma,
      std::string_view("\x40\xA4\xD0\xD2\x07\xE3\xD2\x11\x97\xF0\x00\xA0\xC9\x5E\xA8\x50", 16));
  ASSERT_NE(description, std::string::npos);
  auto broken = Bytes(wma.begin(), wma.begin() + static_cast<std::ptrdiff_t>(description + 26));
  broken[description + 24] = broken[description + 25] = 0xFF;
  readBoth(broken, "wma");
}

struct Fixture {
  std::string name;
  std::string encoder;
};

// Random byte changes and truncations over the tag region of each container.
TEST_F(MalformedTagsTest, MutatedFilesNeverCrashTheReader) {
  const std::vector<Fixture> fixtures = {{"m.mp3", "-c:a libmp3lame -b:a 64k"},
                                         {"m.m4a", "-c:a aac -b:a 64k"},
                                         {"m.flac", "-c:a flac"},
                                         {"m.ogg", "-c:a libvorbis"},
                                         {"m.opus", "-c:a libopus"},
                                         {"m.wma", "-c:a wmav2"},
                                         {"m.aiff", "-c:a pcm_s16be"},
                                         {"m.wav", "-c:a pcm_s16le"}};
  std::mt19937 random(20240517);
  for (const auto& fixture : fixtures) {
    SCOPED_TRACE(fixture.name);
    const auto original = tagged(fixture.name, fixture.encoder);
    ASSERT_FALSE(original.empty());
    const std::size_t region = std::min<std::size_t>(original.size(), 8192);
    for (int round = 0; round < 150; ++round) {
      auto mutated = original;
      const int changes = 1 + static_cast<int>(random() % 8);
      for (int i = 0; i < changes; ++i) {
        mutated[random() % region] = static_cast<std::uint8_t>(random());
      }
      if (round % 5 == 0) mutated.resize(random() % mutated.size());
      (void)platform::loadMetadataItems(mutated);
    }
  }
}

}  // namespace
}  // namespace vexal
