#pragma once

// Helpers shared by the encoder tests: requests as the conversion entry builds them, a
// fixture of generated sources, and raw looks into MP3 frames and Ogg pages.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/audio_file_info.h"
#include "engine/audio_processor.h"
#include "engine/encode_request.h"
#include "support/test_support.h"

namespace vexal::test {

// The encoder of a lossy format.
inline Expected<> encode(const EncodeRequest& request) {
  switch (request.format) {
    case OutputFormat::mp3: return encodeMP3(request);
    case OutputFormat::opus: return encodeOpus(request);
    case OutputFormat::vorbis: return encodeVorbis(request);
    default: return Unexpected(ConversionError::unsupportedFormat("not a lossy format"));
  }
}

// A request as the conversion entry hands it to an encoder.
inline EncodeRequest makeRequest(const std::filesystem::path& source,
                                 const std::filesystem::path& output, OutputFormat format,
                                 ConversionSettings settings = {}) {
  EncodeRequest request;
  request.source = source;
  request.output = output;
  request.format = format;
  if (settings.enabledFormats.empty()) settings.enabledFormats = {format};
  request.settings = settings;
  auto info = readAudioFileInfo(source);
  EXPECT_TRUE(info.has_value()) << source;
  if (info) request.info = *info;
  return request;
}

// A folder of music-like 16-bit WAV sources, each made on first use, and encodes from them.
class EncoderTest : public testing::Test {
 protected:
  std::filesystem::path source(std::uint32_t rate, std::uint32_t channels = 2, double seconds = 3.0) {
    const std::string stem =
        "music" + std::to_string(rate) + "_" + std::to_string(channels) + "_" + std::to_string(seconds);
    const auto path = dir_ / (stem + ".wav");
    if (std::filesystem::exists(path)) return path;
    return writeAudio(dir_.path(), stem, musicLike(rate, channels, seconds), InputKind::wav16);
  }
  // Encodes `from` into dir / name, expecting success.
  std::filesystem::path encodeTo(OutputFormat format, const std::filesystem::path& from, const std::string& name,
                                 ConversionSettings settings = {}, std::optional<AudioMetadata> metadata = {}) {
    auto request = makeRequest(from, dir_ / name, format, settings);
    request.metadata = std::move(metadata);
    const auto result = encode(request);
    EXPECT_TRUE(result.has_value()) << (result ? "" : result.error().errorDescription());
    return request.output;
  }
  TempDir dir_;
};

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

// The exit code of `body` run in a child that may write at most 16 KiB to a file (a
// disk filling up mid-file); -1 when the child did not exit.
inline int exitCodeOnFullDisk(const std::function<int()>& body) {
  const pid_t child = fork();
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{16 * 1024, 16 * 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
    _exit(body());
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace vexal::test
