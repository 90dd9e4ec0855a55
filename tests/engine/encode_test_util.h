#pragma once

// Helpers shared by the encoder tests: a raw look into MP3 frames and a full tag record.

#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/audio_processor.h"
#include "support/test_support.h"

namespace vexal::test {

// Size of a leading ID3v2 tag (header included), 0 when there is none.
inline std::size_t id3v2Size(const std::vector<unsigned char>& bytes) {
  if (bytes.size() < 10 || std::memcmp(bytes.data(), "ID3", 3) != 0) return 0;
  return 10 + ((bytes[6] & 0x7F) << 21 | (bytes[7] & 0x7F) << 14 | (bytes[8] & 0x7F) << 7 |
               (bytes[9] & 0x7F));
}

// Bitrates (kbit/s) of the consecutive MPEG-1/2 layer III frames after the ID3v2 tag.
inline std::vector<int> mp3FrameBitrates(const std::vector<unsigned char>& bytes) {
  static constexpr int kMpeg1[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
  static constexpr int kMpeg2[16] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};
  static constexpr int kRates[4] = {44100, 48000, 32000, 0};
  std::vector<int> bitrates;
  std::size_t pos = id3v2Size(bytes);
  while (pos + 4 <= bytes.size() && bytes[pos] == 0xFF && (bytes[pos + 1] & 0xE0) == 0xE0) {
    const bool mpeg1 = (bytes[pos + 1] & 0x18) == 0x18;
    const int index = bytes[pos + 2] >> 4;
    const int rateIndex = (bytes[pos + 2] >> 2) & 3;
    const int padding = (bytes[pos + 2] >> 1) & 1;
    int rate = kRates[rateIndex];
    if (!mpeg1) rate /= ((bytes[pos + 1] & 0x18) == 0x10 ? 2 : 4);
    const int kbps = mpeg1 ? kMpeg1[index] : kMpeg2[index];
    if (kbps == 0 || rate == 0) break;
    bitrates.push_back(kbps);
    pos += static_cast<std::size_t>((mpeg1 ? 144 : 72) * kbps * 1000 / rate + padding);
  }
  return bitrates;
}

// Every field the tag writers map, with a cover.
inline AudioMetadata fullMetadata() {
  AudioMetadata m;
  m.title = "Night Drive";
  m.artist = "The Testers";
  m.album = "Generated Signals";
  m.albumArtist = "Various Testers";
  m.trackNumber = 3;
  m.trackTotal = 12;
  m.discNumber = 2;
  m.genre = "Electronic";
  m.year = 1997;
  m.composer = "A. Composer";
  m.artwork = pngImage();
  return m;
}

}  // namespace vexal::test
