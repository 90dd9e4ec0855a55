#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace vexal::platform {

// What an audio file's sound is made of, as one number: FNV-1a 64 over the bytes of its
// first audio stream's packets as the demuxer delivers them, and their count. Tags,
// pictures, padding and the container's layout do not enter it, so a tag editor or a
// gain scanner leaves it unchanged while any change to the audio changes it. Nothing when
// the file cannot be demuxed or holds no audio stream.
std::optional<std::uint64_t> audioIdentity(const std::filesystem::path& path);

}  // namespace vexal::platform
