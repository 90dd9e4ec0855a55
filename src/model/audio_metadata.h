#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vexal {

// A picture a file carries: its ID3v2/FLAC picture type (0 other, 3 front cover, 4 back
// cover, 5 leaflet page, 8 artist, ...), its description and the encoded image as read.
struct TagPicture {
  static constexpr std::uint32_t kOther = 0;
  static constexpr std::uint32_t kFrontCover = 3;
  std::uint32_t type = kFrontCover;
  std::string description;
  std::vector<std::uint8_t> data;

  bool operator==(const TagPicture&) const = default;
};

// Tags by the tag library's property names (upper case: "MUSICBRAINZ_TRACKID", "LYRICS",
// "DISCTOTAL"), each with its values in order.
using TagProperties = std::map<std::string, std::vector<std::string>>;

// Tags carried from a source to its outputs; every field may be absent. A field given
// several values (two ARTIST comments, a multi-value ID3v2.4 frame) holds them joined
// with kValueSeparator; outputs that hold multiple values split them again.
struct AudioMetadata {
  static constexpr std::string_view kValueSeparator = "; ";
  // The values of a joined text, empty ones left out.
  static std::vector<std::string_view> values(std::string_view joined);

  std::optional<std::string> title;
  std::optional<std::string> artist;
  std::optional<std::string> album;
  std::optional<std::string> albumArtist;
  std::optional<std::int64_t> trackNumber;
  std::optional<std::int64_t> trackTotal;
  std::optional<std::int64_t> discNumber;
  std::optional<std::string> genre;
  std::optional<std::int64_t> year;
  // The full release date as the source gives it ("2004-05-17"), when it says more than
  // the year; written only while it still starts with `year` (an edited year wins).
  std::optional<std::string> date;
  std::optional<std::string> composer;
  std::optional<std::vector<std::uint8_t>> artwork;  // the front cover, encoded as read
  // Every other tag of the source (sort names, identifiers, lyrics, the disc total, gain
  // values, keys no tagger standardised), and its pictures besides the cover in
  // `artwork`. Each output keeps what its format can hold.
  TagProperties properties;
  std::vector<TagPicture> pictures;

  // Only title, artist, album, track number and artwork count: a record holding
  // just genre and year is not worth writing anywhere.
  bool hasContent() const {
    return title || artist || album || trackNumber || artwork;
  }

  // The date an output that holds one gets: the full date, else the year.
  std::optional<std::string> dateText() const;
  // Sets the year, and the full date when the text says more, from a date as taggers
  // write it ("2004", "2004-05-17", "2004-05-17T07:00:00Z"); a text that does not begin
  // with exactly four digits changes nothing.
  void setDate(std::string_view text);

  bool operator==(const AudioMetadata&) const = default;
};

}  // namespace vexal
