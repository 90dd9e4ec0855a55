#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vexal {

// Tags carried from a source to its outputs; every field may be absent.
struct AudioMetadata {
  std::optional<std::string> title;
  std::optional<std::string> artist;
  std::optional<std::string> album;
  std::optional<std::string> albumArtist;
  std::optional<std::int64_t> trackNumber;
  std::optional<std::int64_t> trackTotal;
  std::optional<std::int64_t> discNumber;
  std::optional<std::string> genre;
  std::optional<std::int64_t> year;
  std::optional<std::string> composer;
  std::optional<std::vector<std::uint8_t>> artwork;  // encoded image bytes as read

  // Only title, artist, album, track number and artwork count: a record holding
  // just genre and year is not worth writing anywhere.
  bool hasContent() const {
    return title || artist || album || trackNumber || artwork;
  }

  bool operator==(const AudioMetadata&) const = default;
};

}  // namespace vexal
