// Tags carried through a conversion: every property a tagger writes, read back through
// TagLib and FFmpeg's demuxers; the record each format keeps; typed pictures; and source
// gain values only where the output's level is the source's.

#include <gtest/gtest.h>
#include <taglib/fileref.h>
#include <taglib/flacfile.h>
#include <taglib/flacpicture.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4file.h>
#include <taglib/mpegfile.h>
#include <taglib/tpropertymap.h>
#include <taglib/xiphcomment.h>

#include <algorithm>
#include <cmath>
#include <memory>

#include "encode_test_util.h"
#include "engine/audio_processor.h"
#include "metadata/metadata_service.h"
#include "platform/logging.h"
#include "platform/media_assets.h"
#include "support/test_support.h"

namespace vexal {
namespace {

using test::InputKind;
using Values = std::vector<std::string>;

TagLib::String text(const std::string& utf8) {
  return TagLib::String(utf8, TagLib::String::UTF8);
}

TagLib::PropertyMap propertyMap(const TagProperties& properties) {
  TagLib::PropertyMap map;
  for (const auto& [key, values] : properties) {
    TagLib::StringList list;
    for (const auto& value : values) list.append(text(value));
    map.insert(text(key), list);
  }
  return map;
}

// What taggers write beside the record's fields; SOURCE_NOTE is a key no format knows.
const TagProperties& otherProperties() {
  static const TagProperties properties = {
      {"MUSICBRAINZ_TRACKID", {"0a1b2c3d-0000-4000-8000-000000000001"}},
      {"MUSICBRAINZ_ALBUMID", {"0a1b2c3d-0000-4000-8000-000000000002"}},
      {"ARTISTSORT", {"First, The"}}, {"ALBUMARTISTSORT", {"Testers, Various"}},
      {"COMPILATION", {"1"}}, {"LYRICS", {"la la la\nla"}}, {"COMMENT", {"a comment"}},
      {"ISRC", {"USRC17607839"}}, {"LABEL", {"Test Records"}}, {"BPM", {"120"}},
      {"ORIGINALDATE", {"1990-01-02"}}, {"CONDUCTOR", {"A. Conductor"}},
      {"SOURCE_NOTE", {"from the vault"}}};
  return properties;
}

// The record's fields as properties; ID3v2 and MP4 hold totals inside the number.
TagProperties fieldProperties(bool totalsApart) {
  TagProperties properties = {
      {"TITLE", {"Fl\xC3\xBCgel"}}, {"ALBUM", {"Generated Signals"}}, {"DATE", {"1997-05-17"}}};
  if (totalsApart) {
    properties.insert({{"TRACKNUMBER", {"3"}},
                       {"TRACKTOTAL", {"12"}},
                       {"DISCNUMBER", {"2"}},
                       {"DISCTOTAL", {"3"}}});
  } else {
    properties.insert({{"TRACKNUMBER", {"3/12"}}, {"DISCNUMBER", {"2/3"}}});
  }
  return properties;
}

bool holdsTotalsApart(OutputFormat format) {
  return format == OutputFormat::flac || format == OutputFormat::opus ||
         format == OutputFormat::vorbis;
}

// A short tone of `kind` tagged with every property above and two artists.
std::filesystem::path taggedSource(const std::filesystem::path& dir, InputKind kind) {
  const double rate = kind == InputKind::opus ? 48000 : 44100;
  const auto file = test::writeAudio(dir, "source", test::sine(rate, 2, 0.25, 440, -6), kind);
  const bool apart = kind == InputKind::flac16 || kind == InputKind::opus;
  TagProperties properties = otherProperties();
  properties.merge(fieldProperties(apart));
  properties["ARTIST"] = {"First", "Zw\xC3\xB6lf"};
  if (kind == InputKind::mp3) {
    TagLib::MPEG::File mp3(file.c_str());
    mp3.ID3v2Tag(true)->setProperties(propertyMap(properties));
    EXPECT_TRUE(mp3.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripOthers, TagLib::ID3v2::v4));
  } else if (kind == InputKind::aacM4a) {
    TagLib::MP4::File m4a(file.c_str());
    m4a.tag()->setProperties(propertyMap(properties));  // no atom for SOURCE_NOTE: freeform
    m4a.tag()->setItem("----:com.apple.iTunes:SOURCE_NOTE",
                       TagLib::StringList(text("from the vault")));
    EXPECT_TRUE(m4a.save());
  } else {
    TagLib::FileRef ref(file.c_str());
    ref.file()->setProperties(propertyMap(properties));
    EXPECT_TRUE(ref.save());
  }
  return file;
}

// How FFmpeg's demuxers name a property in each family (nothing: FFmpeg does not read
// that frame or atom).
struct IndependentName {
  const char* property;
  const char* xiph;
  const char* id3;
  const char* mp4;
};
constexpr IndependentName kIndependentNames[] = {
    {"MUSICBRAINZ_TRACKID", "musicbrainz_trackid", nullptr /* UFID */, "musicbrainz track id"},
    {"MUSICBRAINZ_ALBUMID", "musicbrainz_albumid", "musicbrainz album id", "musicbrainz album id"},
    {"ARTISTSORT", "artistsort", "artist-sort", "sort_artist"},
    {"ALBUMARTISTSORT", "albumartistsort", "tso2", "sort_album_artist"},
    {"COMPILATION", "compilation", "compilation", "compilation"},
    {"LYRICS", "lyrics", "lyrics", "lyrics"},
    {"COMMENT", "comment", "comment", "comment"},
    {"ISRC", "isrc", "tsrc", "isrc"},
    {"LABEL", "label", "publisher", "label"},
    {"BPM", "bpm", "tbpm", nullptr /* tmpo */},
    {"ORIGINALDATE", "originaldate", "originaldate", "originaldate"},
    {"CONDUCTOR", "conductor", "performer", "conductor"},
    {"SOURCE_NOTE", "source_note", "source_note", "source_note"},
    {"TITLE", "title", "title", "title"},
    {"DATE", "date", "date", "date"},
};

ConversionSettings settingsFor(OutputFormat format) {
  ConversionSettings settings;
  settings.enabledFormats = {format};
  return settings;
}

std::filesystem::path convertInto(const std::filesystem::path& source,
                                  const std::filesystem::path& dir, OutputFormat format,
                                  const ConversionSettings& settings) {
  const auto output =
      dir / (std::string(rawValue(format)) + "." + std::string(fileExtension(format)));
  EXPECT_TRUE(
      AudioProcessor::convert(source, output, format, settings, std::nullopt, std::nullopt, {}));
  return output;
}

// Each source kind converted into every format that holds tags.
class EveryTagTest : public testing::TestWithParam<InputKind> {
 protected:
  void expectEveryProperty(const std::filesystem::path& output, OutputFormat format);

  test::TempDir dir_;
};

void EveryTagTest::expectEveryProperty(const std::filesystem::path& output, OutputFormat format) {
  const TagLib::FileRef ref(output.c_str());
  ASSERT_FALSE(ref.isNull());
  const TagLib::PropertyMap read = ref.file()->properties();
  // TagLib names no freeform MP4 item it does not know: those are read as items.
  auto* mp4 = dynamic_cast<TagLib::MP4::File*>(ref.file());
  auto valuesOf = [&](const std::string& key) {
    const auto item = "----:com.apple.iTunes:" + key;
    return read.contains(text(key)) || !mp4 ? read[text(key)]
                                            : mp4->tag()->item(text(item)).toStringList();
  };
  TagProperties expected = otherProperties();
  expected.merge(fieldProperties(holdsTotalsApart(format)));
  // Xiph comments hold several artists; ID3v2 and MP4 outputs join them.
  expected["ARTIST"] =
      holdsTotalsApart(format) ? Values{"First", "Zw\xC3\xB6lf"} : Values{"First; Zw\xC3\xB6lf"};
  for (const auto& [key, values] : expected) {
    Values found;
    for (const auto& value : valuesOf(key)) found.push_back(value.to8Bit(true));
    EXPECT_EQ(found, values) << key;
  }

  const auto independent = test::ffmpegTags(output);
  auto expectIndependent = [&](const std::string& name, const std::string& value) {
    const auto found = std::ranges::find_if(independent, [&](const auto& tag) {
      return tag.first == name || tag.first.starts_with(name + "-");
    });
    ASSERT_NE(found, independent.end()) << name;
    EXPECT_EQ(found->second, value) << name;
  };
  for (const auto& name : kIndependentNames) {
    const char* key = holdsTotalsApart(format)      ? name.xiph
                      : format == OutputFormat::mp3 ? name.id3
                                                    : name.mp4;
    if (key) expectIndependent(key, expected.at(name.property).front());
  }
  if (holdsTotalsApart(format)) {
    expectIndependent("tracktotal", "12");
    expectIndependent("disctotal", "3");
  } else {
    expectIndependent("track", "3/12");
    expectIndependent("disc", "2/3");
  }
}

TEST_P(EveryTagTest, EveryPropertyReadsBackThroughTwoReaders) {
  const auto source = taggedSource(dir_.path(), GetParam());
  for (const auto format : {OutputFormat::flac, OutputFormat::mp3, OutputFormat::aac,
                            OutputFormat::alac, OutputFormat::opus, OutputFormat::vorbis}) {
    SCOPED_TRACE(displayName(format));
    expectEveryProperty(convertInto(source, dir_.path(), format, settingsFor(format)), format);
  }
}

INSTANTIATE_TEST_SUITE_P(Sources, EveryTagTest,
                         testing::Values(InputKind::flac16, InputKind::mp3, InputKind::aacM4a,
                                         InputKind::opus),
                         [](const auto& info) { return test::nameOf(info.param); });

// A front cover, a back cover and a booklet page, each with its description.
std::vector<TagPicture> threePictures() {
  auto page = test::jpegImage();
  page.push_back(0);  // other bytes than the back cover's
  return {{TagPicture::kFrontCover, "", test::pngImage()},
          {4, "Back", test::jpegImage()},
          {5, "Page 1", page}};
}

std::filesystem::path flacWithPictures(const std::filesystem::path& dir,
                                       const std::vector<TagPicture>& pictures,
                                       const TagProperties& properties = {
                                           {"TITLE", {"Pictured"}}}) {
  const auto file =
      test::writeAudio(dir, "source", test::sine(44100, 2, 0.5, 440, -6), InputKind::flac16);
  TagLib::FLAC::File flac(file.c_str());
  flac.xiphComment(true)->setProperties(propertyMap(properties));
  for (const auto& picture : pictures) {
    auto* block = new TagLib::FLAC::Picture;  // the file owns it
    block->setType(static_cast<TagLib::FLAC::Picture::Type>(picture.type));
    block->setDescription(text(picture.description));
    block->setMimeType(picture.data.front() == 0x89 ? "image/png" : "image/jpeg");
    block->setData(TagLib::ByteVector(reinterpret_cast<const char*>(picture.data.data()),
                                      static_cast<unsigned int>(picture.data.size())));
    flac.addPicture(block);
  }
  EXPECT_TRUE(flac.save());
  return file;
}

class PictureTest : public testing::TestWithParam<OutputFormat> {
 protected:
  test::TempDir dir_;
};

// Every picture keeps its type and description; MP3's front cover is type 3.
TEST_P(PictureTest, ThreePicturesKeepTheirTypes) {
  const auto output = convertInto(flacWithPictures(dir_.path(), threePictures()), dir_.path(),
                                  GetParam(), settingsFor(GetParam()));
  EXPECT_EQ(platform::loadFileTags(output).value().pictures, threePictures());
  EXPECT_EQ(test::ffmpegPictureKinds(output),
            (std::vector<std::string>{"Cover (front)", "Cover (back)", "Leaflet page"}));
}

INSTANTIATE_TEST_SUITE_P(Formats, PictureTest,
                         testing::Values(OutputFormat::flac, OutputFormat::mp3, OutputFormat::opus),
                         [](const auto& info) { return std::string(rawValue(info.param)); });

// The record of a FLAC source in every output format: whole where the format holds tags
// (two artists and genres as repeated comments where it takes several values, else
// joined), nothing in WAV and AIFF, with preserveMetadata off or for a record without
// content. A tag rewrite keeps the audio whole and logs nothing.
class RecordTest : public testing::TestWithParam<OutputFormat> {
 protected:
  // A full record with a front cover, or only a genre and a year: no record's content.
  std::filesystem::path convert(bool full, bool preserve) {
    const auto source =
        full ? flacWithPictures(dir_.path(), {{TagPicture::kFrontCover, "", test::pngImage()}},
                                {{"TITLE", {"Fl\xC3\xBCgel"}}, {"ARTIST", {"First", "Zw\xC3\xB6lf"}},
                                 {"ALBUM", {"Generated Signals"}}, {"ALBUMARTIST", {"Various Testers"}},
                                 {"TRACKNUMBER", {"3"}}, {"TRACKTOTAL", {"12"}}, {"DISCNUMBER", {"2"}},
                                 {"GENRE", {"Rock", "Pop"}}, {"DATE", {"1997-05-17"}},
                                 {"COMPOSER", {"A. Composer"}}})
             : flacWithPictures(dir_.path(), {}, {{"GENRE", {"Rock"}}, {"DATE", {"2004"}}});
    auto settings = settingsFor(GetParam());
    settings.preserveMetadata = preserve;
    std::vector<std::string> logged;
    const auto previous = platform::setLogSink(
        [&](platform::LogCategory, platform::LogLevel, std::string_view line) { logged.emplace_back(line); });
    const auto output = convertInto(source, dir_.path(), GetParam(), settings);
    platform::setLogSink(previous);
    EXPECT_TRUE(logged.empty()) << logged.front();
    const auto decoded = test::decodeFile(output);
    EXPECT_EQ(decoded.frames(), std::llround(0.5 * decoded.sampleRate));
    return output;
  }

  test::TempDir dir_;
};

TEST_P(RecordTest, CarriesEveryFieldTheFormatTakes) {
  AudioMetadata record = test::fullMetadata();
  record.title = "Fl\xC3\xBCgel";
  record.artist = "First; Zw\xC3\xB6lf";
  record.genre = "Rock; Pop";
  record.date = "1997-05-17";
  const auto output = convert(true, true);
  const bool tagless = GetParam() == OutputFormat::wav || GetParam() == OutputFormat::aiff;
  EXPECT_EQ(MetadataService::readMetadata(output), tagless ? AudioMetadata{} : record);
  if (tagless) return;
  const TagLib::FileRef file(output.c_str());
  EXPECT_EQ(file.file()->properties()["ARTIST"].size(), holdsTotalsApart(GetParam()) ? 2u : 1u);
}

TEST_P(RecordTest, WritesNothingWhenOffOrEmpty) {
  EXPECT_EQ(MetadataService::readMetadata(convert(true, false)), AudioMetadata{});
  EXPECT_EQ(MetadataService::readMetadata(convert(false, true)), AudioMetadata{});
}

INSTANTIATE_TEST_SUITE_P(Formats, RecordTest, testing::ValuesIn(kAllOutputFormats),
                         [](const auto& info) { return std::string(rawValue(info.param)); });

// Source gain values describe the source's level: kept while nothing changes it, gone
// when something does, and replaced by the output's own when ReplayGain is on.
struct GainCase {
  const char* name;
  void (*adjust)(ConversionSettings&);
  bool sourceValuesKept;
};

class SourceGainTest : public testing::TestWithParam<GainCase> {
 protected:
  test::TempDir dir_;
};

TEST_P(SourceGainTest, CopiedOnlyAtTheSourcesLevel) {
  const TagProperties gains = {{"REPLAYGAIN_TRACK_GAIN", {"-3.21 dB"}},
                               {"REPLAYGAIN_TRACK_PEAK", {"0.500000"}},
                               {"REPLAYGAIN_ALBUM_GAIN", {"-4.00 dB"}},
                               {"R128_TRACK_GAIN", {"-1234"}}};
  TagProperties properties = gains;
  properties["TITLE"] = {"Loud"};
  ConversionSettings settings = settingsFor(OutputFormat::flac);
  GetParam().adjust(settings);
  const auto output = convertInto(flacWithPictures(dir_.path(), {}, properties), dir_.path(),
                                  OutputFormat::flac, settings);
  const auto read = platform::loadFileTags(output).value().properties;
  for (const auto& [key, values] : gains) {
    const auto found = read.find(key);
    const bool measured = settings.writeReplayGain && key.starts_with("REPLAYGAIN_TRACK");
    if (GetParam().sourceValuesKept) {
      ASSERT_NE(found, read.end()) << key;
      EXPECT_EQ(found->second, values) << key;
    } else if (measured) {
      ASSERT_NE(found, read.end()) << key;
      EXPECT_NE(found->second, values) << key;
    } else {
      EXPECT_EQ(found, read.end()) << key;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Settings, SourceGainTest,
    testing::Values(
        GainCase{"Unchanged", [](ConversionSettings&) {}, true},
        GainCase{"Normalised",
                 [](ConversionSettings& s) { s.normalizationMode = NormalizationMode::lufs; },
                 false},
        GainCase{"FadedIn", [](ConversionSettings& s) { s.fadeInSeconds = 0.1; }, false},
        GainCase{"Downmixed", [](ConversionSettings& s) { s.customChannels = 1; }, false},
        GainCase{"Measured", [](ConversionSettings& s) { s.writeReplayGain = true; }, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vexal
