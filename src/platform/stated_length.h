#pragma once

// What a file's own bytes state about its length, read without FFmpeg: Ogg page headers
// and the data size of a RIFF/WAVE header. Private to the audio-file layer.

#include <cstdint>
#include <filesystem>
#include <optional>

namespace vexal::platform {

// The granule (samples from the start) of the last page of an Ogg file whose first audio
// packet ends on that page, found from page headers alone. Empty for longer streams,
// files with more than one logical stream (multiplexed or chained) and damaged ones.
std::optional<std::int64_t> singleAudioPageEnd(const std::filesystem::path& path, int headerPackets);

// What a walk over every page of an Ogg file finds (it reads the whole file).
struct OggPages {
  std::int64_t lastGranule = 0;  // of the last page that states one
  bool cut = false;              // the last page runs past the end of the file: a partial copy
  // A page fails its checksum, a page number is skipped, or bytes between pages are no
  // page: FFmpeg passes over such a page, and its audio is lost without an error.
  bool damaged = false;
};
OggPages checkOggPages(const std::filesystem::path& path);

// The size a RIFF/WAVE file's "data" chunk declares, in bytes; empty for other files and
// for the sizes streaming writers leave when the length is unknown (0, kRiffUnknownSize up).
std::optional<std::int64_t> riffDataBytes(const std::filesystem::path& path);

}  // namespace vexal::platform
