#pragma once

// The media-asset layer: every tag of a file, whatever its container, presented as a
// list of items with an optional container-independent common key and an identifier,
// and the M4A and FLAC tag writers. Backed by TagLib; nothing here throws.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "model/audio_metadata.h"

namespace vexal::platform {

enum class CommonKey { title, artist, albumName, artwork, creator };

// Identifiers the tag reader looks up. Each container's equivalents are presented under
// the same identifier (a Xiph TRACKNUMBER or an ASF WM/TrackNumber is an iTunes track
// number), so one lookup order serves every container.
namespace MediaIdentifier {
inline constexpr std::string_view iTunesSongName = "itsk/\u00A9nam";
inline constexpr std::string_view iTunesArtist = "itsk/\u00A9ART";
inline constexpr std::string_view iTunesAlbum = "itsk/\u00A9alb";
inline constexpr std::string_view iTunesComposer = "itsk/\u00A9wrt";
inline constexpr std::string_view iTunesCoverArt = "itsk/covr";
inline constexpr std::string_view iTunesTrackNumber = "itsk/trkn";
inline constexpr std::string_view iTunesDiscNumber = "itsk/disk";
inline constexpr std::string_view iTunesUserGenre = "itsk/\u00A9gen";
inline constexpr std::string_view iTunesAlbumArtist = "itsk/aART";
inline constexpr std::string_view iTunesReleaseDate = "itsk/\u00A9day";
inline constexpr std::string_view id3ContentType = "id3/TCON";
inline constexpr std::string_view id3TrackNumber = "id3/TRCK";
inline constexpr std::string_view id3Year = "id3/TYER";
}  // namespace MediaIdentifier

// One tag of a file. Every value may be absent (a value that could not be read is).
struct MediaItem {
  std::optional<CommonKey> commonKey{};
  std::string identifier{};  // "itsk/<atom>", "id3/<frame>", "xiph/<field>", "asf/<attribute>", ...
  std::optional<std::string> stringValue{};  // UTF-8
  std::optional<std::int64_t> numberValue{};
  std::optional<std::vector<std::uint8_t>> dataValue{};

  bool operator==(const MediaItem&) const = default;
};

// Every tag of a file, three ways: as items for the reader's passes, as the tag library's
// unified properties ("MUSICBRAINZ_TRACKID", "LYRICS"; whatever the container calls
// them, MP4 freeform items it has no name for under their own name in upper case), and
// every picture with its type and description (an MP4 file's first cover counts as the
// front cover, its others as "other").
struct FileTags {
  std::vector<MediaItem> items;  // in the order the file's tags list them
  TagProperties properties;
  std::vector<TagPicture> pictures;
};

// The tags of a file; none when it cannot be opened as audio with tags. Malformed tags
// give fewer items, never a crash.
std::optional<FileTags> loadFileTags(const std::filesystem::path& url);
// The same for a file held in memory (the container is detected from its content).
std::optional<FileTags> loadFileTags(std::span<const std::uint8_t> bytes);

// The items of `items` with the given identifier, in order.
std::vector<MediaItem> metadataItems(const std::vector<MediaItem>& items,
                                     std::string_view identifier);

// Replaces every tag of an M4A file by `properties`, as the tag library names them in
// MP4 files (a key it has no atom for becomes a "----:com.apple.iTunes:<KEY>" freeform
// item), and then `items` ("itsk/<atom>" identifiers: a string value becomes a text
// atom, a number value an integer (trkn and disk: the number, of the total when the
// string value reads "3/12"), a data value the cover art). The audio samples are left as
// they are. Returns the reason on failure.
std::optional<std::string> writeM4AItems(const std::filesystem::path& url,
                                         const std::vector<MediaItem>& items,
                                         const TagProperties& properties = {});

// A picture to store, with what its image header says.
struct StoredPicture {
  std::uint32_t type = TagPicture::kFrontCover;
  std::string description;
  std::vector<std::uint8_t> data;
  std::string mimeType;
  std::uint32_t width = 0;  // pixels; 0 when unknown
  std::uint32_t height = 0;
  std::uint32_t colorDepth = 0;  // bits per pixel
};

// Replaces the Vorbis comments and pictures of a FLAC file by `comments` (key, value)
// and `pictures`. The audio frames are left as they are. Returns the reason on failure.
std::optional<std::string> writeFlacTags(
    const std::filesystem::path& url,
    const std::vector<std::pair<std::string, std::string>>& comments,
    const std::vector<StoredPicture>& pictures);

// Sets `properties` in an MP3 file's ID3v2 tag as the tag library maps them onto frames
// (a key without a frame of its own becomes a TXXX frame), each replacing the frames it
// had, every other frame kept, and replaces its pictures by `pictures` (APIC frames).
// The tag keeps its version; in a version 2.3 tag, which has no frame for them, an
// original or release date, mood or disc subtitle goes into a TXXX frame of its property
// name. Returns the reason on failure.
std::optional<std::string> writeId3Tags(const std::filesystem::path& url,
                                        const TagProperties& properties,
                                        const std::vector<StoredPicture>& pictures);

// The ID3v2 version of the tag LAME writes into MP3 files, which the writers keep.
inline constexpr int kMp3TagVersion = 3;

// Where MP3 outputs (their ID3v2.3 tag) and M4A outputs store a property, as the writers
// above map it: "TPE3", "TXXX:MusicBrainz Album Id", "UFID:http://musicbrainz.org",
// "USLT"; "\u00A9lyr", "----:com.apple.iTunes:LABEL". Empty when the format keeps none.
struct PropertyPlacement {
  std::string mp3;
  std::string m4a;
};
PropertyPlacement placementOf(const std::string& property);

// Sets text fields in a file's own tag, each replacing every earlier value of its name,
// every other tag kept: Xiph comments of FLAC, Ogg Vorbis and Ogg Opus files, ID3v2 TXXX
// frames named by their description in MP3 files, MP4 items (a "----:mean:name" key is a
// freeform item) in M4A files. Returns the reason on failure.
std::optional<std::string> setUserTextFields(
    const std::filesystem::path& url, const std::vector<std::pair<std::string, std::string>>& fields);

}  // namespace vexal::platform
