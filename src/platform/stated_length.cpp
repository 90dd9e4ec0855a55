#include "platform/stated_length.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>

extern "C" {
#include <libavutil/intreadwrite.h>
}

namespace vexal::platform {

namespace {

// RIFF data sizes from this one up are the "length unknown" marks of streaming writers
// (0x7FFFFFFF, 0xFFFFFFFF and near them), not lengths.
constexpr std::uint32_t kRiffUnknownSize = 0x7FFFF000;
// Ogg page header: capture pattern, version, flags, granule, serial, sequence, CRC and
// segment count (bytes); flag bits of a stream's first and last page.
constexpr std::size_t kOggHeaderBytes = 27;
constexpr unsigned kOggBeginOfStream = 0x02;
constexpr unsigned kOggEndOfStream = 0x04;

// One Ogg page header as a walk over the file sees it.
struct OggPage {
  unsigned flags = 0;
  std::int64_t granule = 0;
  std::uint32_t serial = 0;
  int packetsEnded = 0;  // packets whose last segment is on this page
};

enum class OggWalkEnd {
  endOfFile,     // the last page ends where the file does
  foreignBytes,  // bytes after the last page that are no page (a trailing tag)
  stopped,       // the visitor asked to stop
  cut,           // the last page runs past the end of the file: a partial copy
};

// Visits the page headers of an Ogg file in order, reading headers only; `visit`
// returns false to stop.
template <typename Visit>
OggWalkEnd walkOggPages(const std::filesystem::path& path, Visit&& visit) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return OggWalkEnd::foreignBytes;
  const std::streamoff size = in.tellg();
  in.seekg(0);
  std::array<unsigned char, kOggHeaderBytes> header{};
  std::array<unsigned char, 255> lacing{};
  for (std::streamoff at = 0; at < size;) {
    in.read(reinterpret_cast<char*>(header.data()), header.size());
    const auto got = static_cast<std::size_t>(in.gcount());
    if (std::memcmp(header.data(), "OggS", std::min<std::size_t>(got, 4)) != 0 || (got > 4 && header[4] != 0)) {
      return OggWalkEnd::foreignBytes;
    }
    if (got < header.size()) return OggWalkEnd::cut;
    const int segments = header[26];
    if (!in.read(reinterpret_cast<char*>(lacing.data()), segments)) return OggWalkEnd::cut;
    OggPage page{header[5], static_cast<std::int64_t>(AV_RL64(header.data() + 6)), AV_RL32(header.data() + 14), 0};
    std::streamoff body = 0;
    for (int i = 0; i < segments; ++i) {
      body += lacing[i];
      if (lacing[i] < 255) ++page.packetsEnded;
    }
    if (!visit(page)) return OggWalkEnd::stopped;
    at += static_cast<std::streamoff>(kOggHeaderBytes) + segments + body;
    if (at > size) return OggWalkEnd::cut;
    in.seekg(at);
  }
  return OggWalkEnd::endOfFile;
}

}  // namespace

std::optional<std::int64_t> singleAudioPageEnd(const std::filesystem::path& path,
                                               int headerPackets) {
  std::optional<std::uint32_t> serial;
  std::optional<std::int64_t> end;  // set at the end-of-stream page
  int packetsEnded = 0;
  const OggWalkEnd walked = walkOggPages(path, [&](const OggPage& page) {
    if (end) return false;  // a page after the last one: a chain
    if (page.flags & kOggBeginOfStream) {
      if (serial) return false;
      serial = page.serial;
    }
    if (!serial || page.serial != *serial) return false;
    if (packetsEnded <= headerPackets && packetsEnded + page.packetsEnded > headerPackets) {
      // The first audio page: it must be the end-of-stream page.
      if (!(page.flags & kOggEndOfStream) || page.granule < 0) return false;
      end = page.granule;
    }
    packetsEnded += page.packetsEnded;
    return true;
  });
  if (walked == OggWalkEnd::stopped) return std::nullopt;
  return end;
}

std::optional<std::int64_t> oggCutAt(const std::filesystem::path& path) {
  std::int64_t granule = 0;
  const OggWalkEnd walked = walkOggPages(path, [&](const OggPage& page) {
    if (page.granule > 0) granule = page.granule;
    return true;
  });
  if (walked != OggWalkEnd::cut) return std::nullopt;
  return granule;
}

std::optional<std::int64_t> riffDataBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::array<unsigned char, 12> riff{};
  if (!in.read(reinterpret_cast<char*>(riff.data()), riff.size())) return std::nullopt;
  if (std::memcmp(riff.data(), "RIFF", 4) != 0 || std::memcmp(riff.data() + 8, "WAVE", 4) != 0) return std::nullopt;
  std::array<unsigned char, 8> chunk{};
  while (in.read(reinterpret_cast<char*>(chunk.data()), chunk.size())) {
    const std::uint32_t size = AV_RL32(chunk.data() + 4);
    if (std::memcmp(chunk.data(), "data", 4) == 0) {
      if (size == 0 || size >= kRiffUnknownSize) return std::nullopt;
      return size;
    }
    // Chunks are padded to even sizes.
    if (!in.seekg(static_cast<std::streamoff>(size) + (size & 1), std::ios::cur)) return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace vexal::platform
