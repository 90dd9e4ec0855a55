#include "tag_fixtures.h"

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace vexal::test {
namespace {

bool run(const std::string& command) {
  return std::system(command.c_str()) == 0;
}

std::string quoted(const std::filesystem::path& path) {
  return "'" + path.string() + "'";
}

std::vector<std::uint8_t> throughFfmpeg(const std::filesystem::path& file,
                                        const std::string& options) {
  const auto out = std::filesystem::path(file.string() + ".out.bin");
  const bool ok = run("ffmpeg -nostdin -loglevel error -y -i " + quoted(file) + " -map 0:a:0 " +
                      options + " -f data " + quoted(out));
  if (!ok) return {};
  auto bytes = readBytes(out);
  std::filesystem::remove(out);
  return bytes;
}

}  // namespace

bool writeTone(const std::filesystem::path& file, const std::string& encoderOptions,
               double seconds) {
  return run(
      "ffmpeg -nostdin -loglevel error -y -f lavfi -i "
      "sine=frequency=440:sample_rate=44100:duration=" +
      std::to_string(seconds) + " -ac 2 -map_metadata -1 " + encoderOptions + " " + quoted(file));
}

std::vector<std::uint8_t> rawAudioPackets(const std::filesystem::path& file) {
  return throughFfmpeg(file, "-c copy");
}

std::vector<std::uint8_t> decodedPcm(const std::filesystem::path& file) {
  return throughFfmpeg(file, "-c:a pcm_s32le");
}

std::vector<std::uint8_t> readBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeBytes(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::uint8_t> flacAudioFrames(const std::filesystem::path& file) {
  const auto bytes = readBytes(file);
  // "fLaC", then blocks of a 1-byte header (last-block flag, type) and a 24-bit length.
  std::size_t pos = 4;
  while (pos + 4 <= bytes.size()) {
    const bool last = bytes[pos] & 0x80;
    const std::size_t length = (bytes[pos + 1] << 16) | (bytes[pos + 2] << 8) | bytes[pos + 3];
    pos += 4 + length;
    if (last) break;
  }
  if (pos > bytes.size()) return {};
  return {bytes.begin() + static_cast<std::ptrdiff_t>(pos), bytes.end()};
}

std::vector<std::filesystem::path> leftoverTemporaries(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> found;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().filename().string().starts_with(".vexal-meta-")) found.push_back(entry.path());
  }
  return found;
}

const std::vector<std::uint8_t>& pngImage() {
  static const std::vector<std::uint8_t> kPng = {
      0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48,
      0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00,
      0x00, 0x1F, 0x15, 0xC4, 0x89, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x44, 0x41, 0x54, 0x78,
      0xDA, 0x63, 0x64, 0x60, 0xF8, 0x5F, 0x0F, 0x00, 0x02, 0x87, 0x01, 0x80, 0xEB, 0x47,
      0xBA, 0x92, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};
  return kPng;
}

const std::vector<std::uint8_t>& jpegImage() {
  static const std::vector<std::uint8_t> kJpeg = {
      0xFF, 0xD8,  // start of image
      0xFF, 0xE0, 0x00, 0x10, 'J',  'F',  'I',  'F',  0x00, 0x01, 0x01,
      0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00,                           // APP0
      0xFF, 0xC0, 0x00, 0x11, 0x08, 0x00, 0x08, 0x00, 0x10, 0x03,         // SOF0: 8 bits, 8x16
      0x01, 0x22, 0x00, 0x02, 0x11, 0x01, 0x03, 0x11, 0x01, 0xFF, 0xD9};  // end of image
  return kJpeg;
}

}  // namespace vexal::test
