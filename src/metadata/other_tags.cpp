#include <algorithm>
#include <array>
#include <string_view>

#include "metadata/metadata_items.h"
#include "metadata/metadata_service.h"

namespace vexal::MetadataService {
namespace {

using namespace std::string_view_literals;

// Written from the record's own fields (and the synonyms the reader folds into them).
constexpr std::array kRecordProperties = {
    "TITLE"sv,       "ARTIST"sv,     "ALBUM"sv,       "ALBUMARTIST"sv, "ALBUM ARTIST"sv,
    "TRACKNUMBER"sv, "TRACKTOTAL"sv, "TOTALTRACKS"sv, "DISCNUMBER"sv,  "TOTALDISCS"sv,
    "GENRE"sv,       "DATE"sv,       "COMPOSER"sv};

// Facts about the source file's own encoding: carried over they would describe the
// output wrongly (its encoder, length, gapless padding, level, speaker mask).
constexpr std::array kFileProperties = {
    "ENCODER"sv,          "ENCODING"sv,         "ENCODEDBY"sv,
    "ENCODERSETTINGS"sv,  "LENGTH"sv,           "ITUNSMPB"sv,
    "ITUNNORM"sv,         "ITUNPGAP"sv,         "COMMENT:ITUNSMPB"sv,
    "COMMENT:ITUNNORM"sv, "COMMENT:ITUNPGAP"sv, "WAVEFORMATEXTENSIBLE_CHANNEL_MASK"sv};

constexpr std::array kGainProperties = {
    "REPLAYGAIN_TRACK_GAIN"sv, "REPLAYGAIN_TRACK_PEAK"sv,         "REPLAYGAIN_ALBUM_GAIN"sv,
    "REPLAYGAIN_ALBUM_PEAK"sv, "REPLAYGAIN_REFERENCE_LOUDNESS"sv, "R128_TRACK_GAIN"sv,
    "R128_ALBUM_GAIN"sv};

// What one release shares across its tracks (MusicBrainz Picard's album-level names).
constexpr std::array kAlbumProperties = {"ALBUMARTISTSORT"sv,
                                         "ALBUMSORT"sv,
                                         "ASIN"sv,
                                         "BARCODE"sv,
                                         "CATALOGNUMBER"sv,
                                         "COMPILATION"sv,
                                         "COPYRIGHT"sv,
                                         "DISCSUBTITLE"sv,
                                         "DISCTOTAL"sv,
                                         "LABEL"sv,
                                         "MEDIA"sv,
                                         "MUSICBRAINZ_ALBUMARTISTID"sv,
                                         "MUSICBRAINZ_ALBUMID"sv,
                                         "MUSICBRAINZ_DISCID"sv,
                                         "MUSICBRAINZ_RELEASEGROUPID"sv,
                                         "ORIGINALDATE"sv,
                                         "ORIGINALYEAR"sv,
                                         "RELEASECOUNTRY"sv,
                                         "RELEASEDATE"sv,
                                         "RELEASESTATUS"sv,
                                         "RELEASETYPE"sv,
                                         "REPLAYGAIN_ALBUM_GAIN"sv,
                                         "REPLAYGAIN_ALBUM_PEAK"sv,
                                         "R128_ALBUM_GAIN"sv};

template <std::size_t N>
bool among(const std::array<std::string_view, N>& names, std::string_view key) {
  return std::ranges::find(names, key) != names.end();
}

const std::vector<std::string>* valuesOf(const TagProperties& properties, std::string_view key) {
  const auto found = properties.find(std::string(key));
  return found == properties.end() || found->second.empty() ? nullptr : &found->second;
}

}  // namespace

bool isGainProperty(std::string_view key) {
  return among(kGainProperties, key);
}

TagProperties albumProperties(const TagProperties& properties) {
  TagProperties album;
  for (const auto& [key, values] : properties) {
    if (among(kAlbumProperties, key)) album.emplace(key, values);
  }
  return album;
}

void addOtherTags(AudioMetadata& metadata, const platform::FileTags& tags) {
  for (const auto& [key, values] : tags.properties) {
    if (!among(kRecordProperties, key) && !among(kFileProperties, key))
      metadata.properties.emplace(key, values);
  }
  // The disc total, however the file gives it: DISCTOTAL, TOTALDISCS or "2/3".
  if (!metadata.properties.contains("DISCTOTAL")) {
    std::optional<std::string> total;
    if (const auto* values = valuesOf(tags.properties, "TOTALDISCS")) total = values->front();
    if (const auto* disc = valuesOf(tags.properties, "DISCNUMBER"); !total && disc) {
      if (const auto slash = disc->front().find('/'); slash != std::string::npos)
        total = disc->front().substr(slash + 1);
    }
    if (total && parseInteger(*total)) metadata.properties["DISCTOTAL"] = {*total};
  }

  if (tags.pictures.empty()) return;
  const auto front = std::ranges::find(tags.pictures, TagPicture::kFrontCover, &TagPicture::type);
  const auto cover = front != tags.pictures.end() ? front : tags.pictures.begin();
  metadata.artwork = cover->data;
  metadata.pictures.clear();
  for (auto picture = tags.pictures.begin(); picture != tags.pictures.end(); ++picture) {
    if (picture != cover) metadata.pictures.push_back(*picture);
  }
}

}  // namespace vexal::MetadataService
