// Tags carried from a tagged FLAC source through AudioProcessor::convert into every
// output format, read back through the tag reader: M4A and FLAC get them after encoding,
// WAV and AIFF never; nothing is written with preserveMetadata off or for a record
// without content.

#include <gtest/gtest.h>
#include <taglib/flacfile.h>
#include <taglib/fileref.h>
#include <taglib/flacpicture.h>
#include <taglib/tpropertymap.h>
#include <taglib/xiphcomment.h>

#include <cmath>

#include "engine/audio_processor.h"
#include "encode_test_util.h"
#include "metadata/metadata_service.h"
#include "model/output_format.h"
#include "platform/logging.h"
#include "support/test_support.h"

namespace vexal {
namespace {

TagLib::StringList text(const char* utf8) {
  return TagLib::StringList(TagLib::String(utf8, TagLib::String::UTF8));
}

AudioMetadata sourceRecord() {
  auto metadata = test::fullMetadata();
  metadata.title = "Fl\xC3\xBCgel";
  metadata.artist = "First; Zw\xC3\xB6lf";
  metadata.genre = "Rock; Pop";
  metadata.date = "1997-05-17";
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
    const auto cover = *sourceRecord().artwork;
    picture->setData(TagLib::ByteVector(reinterpret_cast<const char*>(cover.data()),
                                        static_cast<unsigned int>(cover.size())));
    flac.addPicture(picture);
  }
  EXPECT_TRUE(flac.save());
  return file;
}

TagLib::PropertyMap fullProperties() {
  TagLib::PropertyMap properties;
  properties.insert("TITLE", text("Fl\xC3\xBCgel"));
  properties.insert("ARTIST", text("First").append(TagLib::String("Zw\xC3\xB6lf", TagLib::String::UTF8)));
  properties.insert("ALBUM", text("Generated Signals"));
  properties.insert("ALBUMARTIST", text("Various Testers"));
  properties.insert("TRACKNUMBER", text("3"));
  properties.insert("TRACKTOTAL", text("12"));
  properties.insert("DISCNUMBER", text("2"));
  properties.insert("GENRE", text("Rock").append("Pop"));
  properties.insert("DATE", text("1997-05-17"));
  properties.insert("COMPOSER", text("A. Composer"));
  return properties;
}

// What each format keeps of the source's record: everything, or nothing at all.
AudioMetadata expectedIn(OutputFormat format) {
  return format == OutputFormat::wav || format == OutputFormat::aiff ? AudioMetadata{} : sourceRecord();
}

class TagRoundTripTest : public testing::TestWithParam<OutputFormat> {
 protected:
  std::filesystem::path convert(const std::filesystem::path& source, bool preserve) {
    ConversionSettings settings;
    settings.enabledFormats = {GetParam()};
    settings.preserveMetadata = preserve;
    const auto output = dir_ / ("out." + std::string(fileExtension(GetParam())));
    std::vector<std::string> logged;
    const auto previous = platform::setLogSink(
        [&](platform::LogCategory, platform::LogLevel, std::string_view line) { logged.emplace_back(line); });
    const auto result = AudioProcessor::convert(source, output, GetParam(), settings, std::nullopt,
                                                std::nullopt, {});
    platform::setLogSink(previous);
    EXPECT_TRUE(result.has_value());
    EXPECT_TRUE(logged.empty()) << logged.front();
    // The audio is still all there after a tag rewrite.
    const auto decoded = test::decodeFile(output);
    EXPECT_EQ(decoded.frames(), std::llround(2.0 * decoded.sampleRate));
    return output;
  }

  test::TempDir dir_;
};

// Two artists and two genres become repeated comments where the format holds several
// values and one joined text where it does not.
TEST_P(TagRoundTripTest, CarriesEveryFieldTheFormatTakes) {
  const auto source = taggedSource(dir_, fullProperties(), true);
  ASSERT_EQ(MetadataService::readMetadata(source), sourceRecord());
  const auto output = convert(source, true);
  EXPECT_EQ(MetadataService::readMetadata(output), expectedIn(GetParam()));
  if (!expectedIn(GetParam()).artist) return;
  const TagLib::FileRef file(output.c_str());
  const bool xiph = GetParam() == OutputFormat::flac || GetParam() == OutputFormat::opus ||
                    GetParam() == OutputFormat::vorbis;
  EXPECT_EQ(file.file()->properties()["ARTIST"].size(), xiph ? 2u : 1u);
}

// Nothing is written with preserveMetadata off, nor for a record without content.
TEST_P(TagRoundTripTest, WritesNothingWhenOffOrEmpty) {
  EXPECT_EQ(MetadataService::readMetadata(convert(taggedSource(dir_, fullProperties(), true), false)), AudioMetadata{});
  TagLib::PropertyMap properties;
  properties.insert("GENRE", text("Rock"));
  properties.insert("DATE", text("2004"));
  EXPECT_EQ(MetadataService::readMetadata(convert(taggedSource(dir_, properties, false), true)), AudioMetadata{});
}

INSTANTIATE_TEST_SUITE_P(Formats, TagRoundTripTest, testing::ValuesIn(kAllOutputFormats),
                         [](const auto& info) { return std::string(rawValue(info.param)); });

}  // namespace
}  // namespace vexal
