#include <vorbis/codec.h>

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
  return fields;
}

std::vector<std::pair<std::string, std::string>> oggCommentFields(const AudioMetadata& metadata) {
  auto fields = commentFields(metadata);
  // The cover, as Ogg files carry it: a base64 FLAC picture block. Bytes that are no
  // known image type are left out rather than labelled with a made-up type.
  if (metadata.artwork && !metadata.artwork->empty()) {
    if (const auto info = imageInfo(*metadata.artwork)) {
      fields.emplace_back("METADATA_BLOCK_PICTURE", base64(flacPictureBlock(*metadata.artwork, *info)));
    }
  }
  return fields;
}

void addVorbisComments(vorbis_comment* comments, const AudioMetadata& metadata) {
  for (const auto& [key, value] : oggCommentFields(metadata)) {
    vorbis_comment_add_tag(comments, key.c_str(), value.c_str());
  }
}

}  // namespace vexal::MetadataService
