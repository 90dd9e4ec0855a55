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

}  // namespace

bool writeTone(const std::filesystem::path& file, const std::string& encoderOptions,
               double seconds) {
  return run(
      "ffmpeg -nostdin -loglevel error -y -f lavfi -i "
      "sine=frequency=440:sample_rate=44100:duration=" +
      std::to_string(seconds) + " -ac 2 -map_metadata -1 " + encoderOptions + " " + quoted(file));
}

std::vector<std::uint8_t> rawAudioPackets(const std::filesystem::path& file) {
  const auto out = std::filesystem::path(file.string() + ".out.bin");
  if (!run("ffmpeg -nostdin -loglevel error -y -i " + quoted(file) + " -map 0:a:0 -c copy -f data " +
           quoted(out))) {
    return {};
  }
  auto bytes = readBytes(out);
  std::filesystem::remove(out);
  return bytes;
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

}  // namespace vexal::test
