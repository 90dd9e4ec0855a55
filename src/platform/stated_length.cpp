#include "platform/stated_length.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <map>
#include <string_view>
#include <utility>
#include <vector>

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

// The page checksum: CRC-32 with polynomial 0x04C11DB7, not reflected, starting at 0,
// over the whole page with its checksum field zero.
constexpr std::uint32_t kOggCrcPolynomial = 0x04C11DB7;
constexpr std::size_t kOggCrcAt = 22;
constexpr std::size_t kOggSequenceAt = 18;

constexpr std::array<std::uint32_t, 256> oggCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t r = i << 24;
    for (int bit = 0; bit < 8; ++bit) r = (r & 0x80000000u) ? (r << 1) ^ kOggCrcPolynomial : r << 1;
    table[i] = r;
  }
  return table;
}

std::uint32_t oggCrc(std::uint32_t crc, const unsigned char* bytes, std::size_t size) {
  static constexpr std::array<std::uint32_t, 256> kTable = oggCrcTable();
  for (std::size_t i = 0; i < size; ++i) crc = (crc << 8) ^ kTable[((crc >> 24) ^ bytes[i]) & 0xFF];
  return crc;
}

// One Ogg page as a walk over the file sees it.
struct OggPage {
  unsigned flags = 0;
  std::int64_t granule = 0;
  std::uint32_t serial = 0;
  std::uint32_t sequence = 0;
  int packetsEnded = 0;  // packets whose last segment is on this page
  bool intact = true;    // its checksum matches (when the walk checks them)
  bool afterJunk = false;  // found after bytes that are no page: what was there is lost
};

enum class OggWalkEnd {
  endOfFile,     // the last page ends where the file does
  foreignBytes,  // bytes after the last page that are no page (a trailing tag)
  stopped,       // the visitor asked to stop
  cut,           // the last page runs past the end of the file: a partial copy
};

// The next "OggS" at or after `from`; -1 when there is none.
std::streamoff nextCapture(std::ifstream& in, std::streamoff from) {
  constexpr std::size_t kChunk = 64 * 1024;
  std::vector<char> buffer(kChunk + 3);
  in.clear();
  for (std::streamoff at = from;; at += kChunk) {
    in.seekg(at);
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const auto got = static_cast<std::size_t>(in.gcount());
    const std::string_view view(buffer.data(), got);
    if (const auto found = view.find("OggS"); found != std::string_view::npos) {
      in.clear();
      return at + static_cast<std::streamoff>(found);
    }
    if (got < buffer.size()) return -1;
  }
}

// Visits the pages of an Ogg file in order; `visit` returns false to stop. Without
// `verify` only headers are read; with it every page's checksum is checked, and bytes
// that are no page are passed over to the next page, which is marked `afterJunk`.
template <typename Visit>
OggWalkEnd walkOggPages(const std::filesystem::path& path, bool verify, Visit&& visit) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return OggWalkEnd::foreignBytes;
  const std::streamoff size = in.tellg();
  in.seekg(0);
  std::array<unsigned char, kOggHeaderBytes> header{};
  std::array<unsigned char, 255> lacing{};
  std::vector<unsigned char> body;
  bool afterJunk = false;
  for (std::streamoff at = 0; at < size;) {
    in.read(reinterpret_cast<char*>(header.data()), header.size());
    const auto got = static_cast<std::size_t>(in.gcount());
    if (std::memcmp(header.data(), "OggS", std::min<std::size_t>(got, 4)) != 0 || (got > 4 && header[4] != 0)) {
      const std::streamoff next = verify ? nextCapture(in, at + 1) : -1;
      if (next < 0) return OggWalkEnd::foreignBytes;
      afterJunk = true;
      at = next;
      in.seekg(at);
      continue;
    }
    if (got < header.size()) return OggWalkEnd::cut;
    const int segments = header[26];
    if (!in.read(reinterpret_cast<char*>(lacing.data()), segments)) return OggWalkEnd::cut;
    OggPage page{header[5], static_cast<std::int64_t>(AV_RL64(header.data() + 6)),
                 AV_RL32(header.data() + 14), AV_RL32(header.data() + kOggSequenceAt), 0, true,
                 std::exchange(afterJunk, false)};
    std::streamoff bodySize = 0;
    for (int i = 0; i < segments; ++i) {
      bodySize += lacing[i];
      if (lacing[i] < 255) ++page.packetsEnded;
    }
    const std::streamoff end = at + static_cast<std::streamoff>(kOggHeaderBytes) + segments + bodySize;
    if (end > size) {
      // Its header still tells how far the stream went.
      page.intact = !verify;
      visit(page);
      return OggWalkEnd::cut;
    }
    if (verify) {
      body.resize(static_cast<std::size_t>(bodySize));
      if (!in.read(reinterpret_cast<char*>(body.data()), bodySize)) return OggWalkEnd::cut;
      const std::uint32_t stated = AV_RL32(header.data() + kOggCrcAt);
      std::fill_n(header.begin() + kOggCrcAt, 4, 0);
      std::uint32_t crc = oggCrc(0, header.data(), header.size());
      crc = oggCrc(crc, lacing.data(), static_cast<std::size_t>(segments));
      page.intact = oggCrc(crc, body.data(), body.size()) == stated;
    }
    if (!visit(page)) return OggWalkEnd::stopped;
    at = end;
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
  const OggWalkEnd walked = walkOggPages(path, false, [&](const OggPage& page) {
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

OggPages checkOggPages(const std::filesystem::path& path) {
  OggPages pages;
  std::map<std::uint32_t, std::uint32_t> sequences;  // the last page number of each stream
  const OggWalkEnd walked = walkOggPages(path, true, [&](const OggPage& page) {
    if (page.granule > 0) pages.lastGranule = page.granule;
    const auto last = sequences.find(page.serial);
    const bool gap = last != sequences.end() && page.sequence != last->second + 1;
    if (!page.intact || page.afterJunk || gap) pages.damaged = true;
    if (page.intact) sequences[page.serial] = page.sequence;
    return true;
  });
  pages.cut = walked == OggWalkEnd::cut;
  return pages;
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
