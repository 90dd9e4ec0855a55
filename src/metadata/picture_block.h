#pragma once

// Cover pictures for the Xiph-comment formats: the image's real type and size, and the
// FLAC picture block that FLAC files store natively and Ogg files as the base64
// METADATA_BLOCK_PICTURE comment.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vexal::MetadataService {

struct ImageInfo {
  std::string mimeType;     // "image/jpeg", "image/png", "image/gif", "image/webp", "image/bmp"
  std::uint32_t width = 0;  // pixels; 0 when the header does not say
  std::uint32_t height = 0;
  std::uint32_t colorDepth = 0;  // bits per pixel; 0 when unknown
};

// What the bytes' signature says; none for anything that is not one of the five types.
std::optional<ImageInfo> imageInfo(std::span<const std::uint8_t> image);

// A FLAC METADATA_BLOCK_PICTURE body: a front cover (type 3) with no description.
std::vector<std::uint8_t> flacPictureBlock(std::span<const std::uint8_t> image,
                                           const ImageInfo& info);

std::string base64(std::span<const std::uint8_t> data);

}  // namespace vexal::MetadataService
