#pragma once

// Tagged audio files for the metadata tests: short tones written by the FFmpeg command
// line, tagged through TagLib, and decoded back for comparisons.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/test_support.h"  // readBytes, writeBytes

namespace vexal::test {

// Writes a one-second 440 Hz stereo tone at 44.1 kHz with the given encoder options
// ("-c:a flac", "-c:a aac -f ipod", ...). Returns false when FFmpeg failed.
bool writeTone(const std::filesystem::path& file, const std::string& encoderOptions,
               double seconds = 1.0);

// The first audio stream's packets as stored, concatenated (no container around them).
std::vector<std::uint8_t> rawAudioPackets(const std::filesystem::path& file);

// Everything after the FLAC metadata blocks: the audio frames, byte for byte.
std::vector<std::uint8_t> flacAudioFrames(const std::filesystem::path& file);

// Files in `folder` whose name starts with ".vexal-meta-".
std::vector<std::filesystem::path> leftoverTemporaries(const std::filesystem::path& folder);

}  // namespace vexal::test
