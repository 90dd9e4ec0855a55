#pragma once

// Cover pictures for the Xiph-comment formats: the image's real type and size, and the
// FLAC picture block that FLAC files store natively and Ogg files as the base64
// METADATA_BLOCK_PICTURE comment.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "model/audio_metadata.h"
#include "platform/media_assets.h"

namespace vexal::MetadataService {

struct ImageInfo {
  std::string mimeType;     // "image/jpeg", "image/png", "image/gif", "image/webp", "image/bmp"
  std::uint32_t width = 0;  // pixels; 0 when the header does not say
  std::uint32_t height = 0;
  std::uint32_t colorDepth = 0;  // bits per pixel; 0 when unknown
};

// What the bytes' signature says; none for anything that is not one of the five types.
std::optional<ImageInfo> imageInfo(std::span<const std::uint8_t> image);

// The pictures a record carries, as outputs store them: the cover in `artwork` as the
// front cover without description, then the other pictures with their types and
// descriptions. Bytes that are no known image type are left out rather than labelled
// with a made-up type.
std::vector<platform::StoredPicture> storedPictures(const AudioMetadata& metadata);

// A FLAC METADATA_BLOCK_PICTURE body.
std::vector<std::uint8_t> flacPictureBlock(const platform::StoredPicture& picture);

std::string base64(std::span<const std::uint8_t> data);

}  // namespace vexal::MetadataService
