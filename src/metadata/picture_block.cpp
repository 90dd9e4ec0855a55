#include "metadata/picture_block.h"

#include <algorithm>
#include <cstdlib>
#include <initializer_list>

#include "platform/picture_scaling.h"

namespace vexal::MetadataService {
namespace {

bool startsWith(std::span<const std::uint8_t> data, std::size_t offset,
                std::initializer_list<std::uint8_t> magic) {
  return data.size() >= offset + magic.size() &&
         std::equal(magic.begin(), magic.end(), data.begin() + offset);
}

std::uint32_t bigEndian(std::span<const std::uint8_t> data, std::size_t offset, int count) {
  std::uint32_t value = 0;
  for (int i = 0; i < count; ++i) value = (value << 8) | data[offset + i];
  return value;
}

std::uint32_t littleEndian(std::span<const std::uint8_t> data, std::size_t offset, int count) {
  std::uint32_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = (value << 8) | data[offset + i];
  return value;
}

// Walks the JPEG markers to the first start-of-frame, which holds the size.
void jpegSize(std::span<const std::uint8_t> data, ImageInfo& info) {
  std::size_t pos = 2;
  while (pos + 4 <= data.size()) {
    if (data[pos] != 0xFF) return;
    const std::uint8_t marker = data[pos + 1];
    if (marker == 0xFF) {  // fill byte
      ++pos;
      continue;
    }
    const std::uint32_t length = bigEndian(data, pos + 2, 2);
    const bool startOfFrame =
        marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (startOfFrame) {
      if (pos + 10 > data.size()) return;
      const std::uint32_t precision = data[pos + 4];
      info.height = bigEndian(data, pos + 5, 2);
      info.width = bigEndian(data, pos + 7, 2);
      info.colorDepth = precision * data[pos + 9];  // bits per sample x components
      return;
    }
    if (length < 2) return;
    pos += 2 + length;
  }
}

}  // namespace

std::optional<ImageInfo> imageInfo(std::span<const std::uint8_t> image) {
  ImageInfo info;
  if (startsWith(image, 0, {0xFF, 0xD8, 0xFF})) {
    info.mimeType = "image/jpeg";
    jpegSize(image, info);
  } else if (startsWith(image, 0, {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A})) {
    info.mimeType = "image/png";
    if (image.size() >= 26 && startsWith(image, 12, {'I', 'H', 'D', 'R'})) {
      info.width = bigEndian(image, 16, 4);
      info.height = bigEndian(image, 20, 4);
      // Samples per pixel by colour type (grey, -, RGB, palette, grey+alpha, -, RGBA).
      static constexpr std::uint32_t kSamples[] = {1, 0, 3, 1, 2, 0, 4};
      const std::uint32_t type = image[25];
      if (type < std::size(kSamples)) info.colorDepth = image[24] * kSamples[type];
    }
  } else if (startsWith(image, 0, {'G', 'I', 'F', '8'})) {
    info.mimeType = "image/gif";
    if (image.size() >= 10) {
      info.width = littleEndian(image, 6, 2);
      info.height = littleEndian(image, 8, 2);
    }
  } else if (startsWith(image, 0, {'R', 'I', 'F', 'F'}) &&
             startsWith(image, 8, {'W', 'E', 'B', 'P'})) {
    info.mimeType = "image/webp";
  } else if (startsWith(image, 0, {'B', 'M'}) && image.size() >= 30) {
    info.mimeType = "image/bmp";
    info.width = littleEndian(image, 18, 4);
    // Negative heights mark top-down bitmaps.
    info.height = static_cast<std::uint32_t>(
        std::abs(static_cast<std::int64_t>(static_cast<std::int32_t>(littleEndian(image, 22, 4)))));
    info.colorDepth = littleEndian(image, 28, 2);
  } else {
    return std::nullopt;
  }
  return info;
}

std::vector<platform::StoredPicture> storedPictures(const AudioMetadata& metadata) {
  std::vector<platform::StoredPicture> stored;
  auto add = [&](const TagPicture& picture) {
    const auto info = picture.data.empty() ? std::nullopt : imageInfo(picture.data);
    if (!info) return;
    stored.push_back({picture.type, picture.description, picture.data, info->mimeType, info->width,
                      info->height, info->colorDepth});
  };
  if (metadata.artwork) add({TagPicture::kFrontCover, {}, *metadata.artwork});
  for (const auto& picture : metadata.pictures) add(picture);
  return stored;
}

std::vector<std::uint8_t> flacPictureBlock(const platform::StoredPicture& picture) {
  std::vector<std::uint8_t> block;
  block.reserve(32 + picture.mimeType.size() + picture.description.size() + picture.data.size());
  auto put32 = [&](std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
      block.push_back(static_cast<std::uint8_t>(value >> shift));
  };
  auto putText = [&](const std::string& text) {
    put32(static_cast<std::uint32_t>(text.size()));
    block.insert(block.end(), text.begin(), text.end());
  };
  put32(picture.type);
  putText(picture.mimeType);
  putText(picture.description);  // UTF-8
  put32(picture.width);
  put32(picture.height);
  put32(picture.colorDepth);
  put32(0);  // palette colours; none for the types we write
  put32(static_cast<std::uint32_t>(picture.data.size()));
  block.insert(block.end(), picture.data.begin(), picture.data.end());
  return block;
}

void fitPictures(AudioMetadata& metadata, std::optional<std::uint32_t> maxSide,
                 bool frontCoverOnly) {
  if (frontCoverOnly) metadata.pictures.clear();
  if (!maxSide) return;
  auto fit = [&](std::vector<std::uint8_t>& image) {
    // A header that gives the size spares decoding a picture small enough already.
    const auto info = imageInfo(image);
    if (info && info->width > 0 && std::max(info->width, info->height) <= *maxSide) return;
    if (auto smaller = platform::shrunkJpeg(image, *maxSide)) image = std::move(*smaller);
  };
  if (metadata.artwork) fit(*metadata.artwork);
  for (auto& picture : metadata.pictures) fit(picture.data);
}

std::string base64(std::span<const std::uint8_t> data) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  text.reserve((data.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    const std::uint32_t group = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
    text += kAlphabet[(group >> 18) & 63];
    text += kAlphabet[(group >> 12) & 63];
    text += kAlphabet[(group >> 6) & 63];
    text += kAlphabet[group & 63];
  }
  if (const std::size_t rest = data.size() - i; rest > 0) {
    std::uint32_t group = data[i] << 16;
    if (rest == 2) group |= data[i + 1] << 8;
    text += kAlphabet[(group >> 18) & 63];
    text += kAlphabet[(group >> 12) & 63];
    text += rest == 2 ? kAlphabet[(group >> 6) & 63] : '=';
    text += '=';
  }
  return text;
}

}  // namespace vexal::MetadataService
