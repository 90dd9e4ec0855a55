#include <opus/opusenc.h>
#include <vorbis/codec.h>

#include "metadata/metadata_service.h"
#include "metadata/picture_block.h"

namespace vexal::MetadataService {
namespace {

constexpr int kFrontCover = 3;  // picture type

}  // namespace

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

void addVorbisComments(vorbis_comment* comments, const AudioMetadata& metadata) {
  for (const auto& [key, value] : commentFields(metadata)) {
    vorbis_comment_add_tag(comments, key.c_str(), value.c_str());
  }
  // The cover, as Ogg files carry it: a base64 FLAC picture block. Bytes that are no
  // known image type are left out rather than labelled with a made-up type.
  if (!metadata.artwork || metadata.artwork->empty()) return;
  if (const auto info = imageInfo(*metadata.artwork)) {
    const auto block = base64(flacPictureBlock(*metadata.artwork, *info));
    vorbis_comment_add_tag(comments, "METADATA_BLOCK_PICTURE", block.c_str());
  }
}

void addOpusComments(OggOpusComments* comments, const AudioMetadata& metadata) {
  if (!comments) return;
  for (const auto& [key, value] : commentFields(metadata)) {
    ope_comments_add(comments, key.c_str(), value.c_str());
  }
  // libopusenc reads the image's type and size itself and refuses what it does not know.
  if (metadata.artwork && !metadata.artwork->empty() && imageInfo(*metadata.artwork)) {
    ope_comments_add_picture_from_memory(comments,
                                         reinterpret_cast<const char*>(metadata.artwork->data()),
                                         metadata.artwork->size(), kFrontCover, nullptr);
  }
}

}  // namespace vexal::MetadataService
