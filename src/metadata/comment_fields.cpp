#include <vorbis/codec.h>

#include <algorithm>

#include "metadata/metadata_service.h"
#include "metadata/picture_block.h"

namespace vexal::MetadataService {

std::vector<std::pair<std::string, std::string>> commentFields(const AudioMetadata& metadata) {
  std::vector<std::pair<std::string, std::string>> fields;
  auto text = [&](const char* key, const std::optional<std::string>& value) {
    if (value && !value->empty()) fields.emplace_back(key, *value);
  };
  // Vorbis comments hold several values of a field as repeated comments.
  auto values = [&](const char* key, const std::optional<std::string>& value) {
    if (!value) return;
    for (const auto piece : AudioMetadata::values(*value)) fields.emplace_back(key, piece);
  };
  auto number = [&](const char* key, const std::optional<std::int64_t>& value) {
    if (value) fields.emplace_back(key, std::to_string(*value));
  };
  text("TITLE", metadata.title);
  values("ARTIST", metadata.artist);
  text("ALBUM", metadata.album);
  values("ALBUMARTIST", metadata.albumArtist);
  values("GENRE", metadata.genre);
  values("COMPOSER", metadata.composer);
  text("DATE", metadata.dateText());
  number("TRACKNUMBER", metadata.trackNumber);
  if (metadata.trackNumber) number("TRACKTOTAL", metadata.trackTotal);
  number("DISCNUMBER", metadata.discNumber);
  // Every other property under its own name; a name a comment cannot hold (a '=' or a
  // byte outside printable ASCII, as an ID3 TXXX description may have) is left out.
  for (const auto& [key, values] : metadata.properties) {
    const auto printable = [](char c) { return c >= 0x20 && c <= 0x7D && c != '='; };
    if (key.empty() || !std::ranges::all_of(key, printable)) continue;
    for (const auto& value : values) fields.emplace_back(key, value);
  }
  return fields;
}

std::vector<std::pair<std::string, std::string>> oggCommentFields(const AudioMetadata& metadata) {
  auto fields = commentFields(metadata);
  // Pictures, as Ogg files carry them: base64 FLAC picture blocks.
  for (const auto& picture : storedPictures(metadata)) {
    fields.emplace_back("METADATA_BLOCK_PICTURE", base64(flacPictureBlock(picture)));
  }
  return fields;
}

void addVorbisComments(vorbis_comment* comments, const AudioMetadata& metadata) {
  for (const auto& [key, value] : oggCommentFields(metadata)) {
    vorbis_comment_add_tag(comments, key.c_str(), value.c_str());
  }
}

}  // namespace vexal::MetadataService
