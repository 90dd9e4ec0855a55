#include "engine/id3_tags.h"

#include <lame/lame.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vexal {

namespace {

// Byte-order mark LAME requires at the start of every UTF-16 text.
constexpr unsigned short kByteOrderMark = 0xFEFF;

bool isAscii(const std::string& text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// UTF-8 to NUL-terminated UTF-16 (native order) with a leading BOM. Malformed
// sequences become U+FFFD rather than being dropped silently.
std::vector<unsigned short> toUtf16(const std::string& text) {
  std::vector<unsigned short> out{kByteOrderMark};
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  for (std::size_t i = 0; i < size;) {
    const unsigned char lead = bytes[i];
    std::uint32_t code = 0xFFFD;
    std::size_t length = 1;
    if (lead < 0x80) {
      code = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
    }
    if (length > 1) {
      bool valid = i + length <= size;
      std::uint32_t value = lead & (0x7F >> length);
      for (std::size_t k = 1; valid && k < length; ++k) {
        valid = (bytes[i + k] & 0xC0) == 0x80;
        value = (value << 6) | (bytes[i + k] & 0x3F);
      }
      if (valid && value <= 0x10FFFF && !(value >= 0xD800 && value <= 0xDFFF)) {
        code = value;
      } else {
        length = 1;
      }
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<unsigned short>(0xD800 + (code >> 10)));
      out.push_back(static_cast<unsigned short>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<unsigned short>(code));
    }
    i += length;
  }
  out.push_back(0);
  return out;
}

// LAME's plain setters take Latin-1, so UTF-8 beyond ASCII would come back garbled;
// such texts go in as UTF-16 frames instead.
template <typename Latin1Setter>
void setText(lame_t lame, const std::optional<std::string>& value, const char* frameID,
             Latin1Setter&& setLatin1) {
  if (!value || value->empty()) return;
  if (isAscii(*value)) {
    setLatin1(*value);
  } else {
    id3tag_set_textinfo_utf16(lame, frameID, toUtf16(*value).data());
  }
}

}  // namespace

void writeID3Tags(const AudioMetadata& metadata, lame_global_struct* lame) {
  id3tag_init(lame);
  id3tag_add_v2(lame);
  setText(lame, metadata.title, "TIT2",
          [&](const std::string& v) { id3tag_set_title(lame, v.c_str()); });
  setText(lame, metadata.artist, "TPE1",
          [&](const std::string& v) { id3tag_set_artist(lame, v.c_str()); });
  setText(lame, metadata.album, "TALB",
          [&](const std::string& v) { id3tag_set_album(lame, v.c_str()); });
  if (metadata.year) id3tag_set_year(lame, std::to_string(*metadata.year).c_str());
  setText(lame, metadata.genre, "TCON",
          [&](const std::string& v) { id3tag_set_genre(lame, v.c_str()); });
  if (metadata.trackNumber) {
    std::string track = std::to_string(*metadata.trackNumber);
    if (metadata.trackTotal) track += "/" + std::to_string(*metadata.trackTotal);
    id3tag_set_track(lame, track.c_str());
  }
  setText(lame, metadata.composer, "TCOM", [&](const std::string& v) {
    id3tag_set_fieldvalue(lame, ("TCOM=" + v).c_str());
  });
  setText(lame, metadata.albumArtist, "TPE2", [&](const std::string& v) {
    id3tag_set_fieldvalue(lame, ("TPE2=" + v).c_str());
  });
  if (metadata.discNumber) {
    id3tag_set_fieldvalue(lame, ("TPOS=" + std::to_string(*metadata.discNumber)).c_str());
  }
}

}  // namespace vexal
