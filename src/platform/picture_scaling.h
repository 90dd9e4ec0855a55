#pragma once

// Pictures made smaller for devices, through FFmpeg's image decoders, libswscale and its
// JPEG encoder.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace vexal::platform {

// `image` (JPEG, PNG, GIF, BMP or WebP) scaled so that its longer side is `maxSide`
// pixels, aspect kept, as a baseline JPEG of quality 90 (libjpeg's quality scale). None
// when the image is not larger than that, or cannot be decoded.
std::optional<std::vector<std::uint8_t>> shrunkJpeg(std::span<const std::uint8_t> image,
                                                    std::uint32_t maxSide);

}  // namespace vexal::platform
