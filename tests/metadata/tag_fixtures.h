#pragma once

// Tagged audio files for the metadata tests: short tones written by the FFmpeg command
// line, tagged through TagLib, and decoded back for comparisons.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace vexal::test {

// Writes a one-second 440 Hz stereo tone at 44.1 kHz with the given encoder options
// ("-c:a flac", "-c:a aac -f ipod", ...). Returns false when FFmpeg failed.
bool writeTone(const std::filesystem::path& file, const std::string& encoderOptions,
               double seconds = 1.0);

// The first audio stream's packets as stored, concatenated (no container around them).
std::vector<std::uint8_t> rawAudioPackets(const std::filesystem::path& file);
// The decoded audio as signed 32-bit interleaved samples.
std::vector<std::uint8_t> decodedPcm(const std::filesystem::path& file);

std::vector<std::uint8_t> readBytes(const std::filesystem::path& file);
void writeBytes(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes);

// Everything after the FLAC metadata blocks: the audio frames, byte for byte.
std::vector<std::uint8_t> flacAudioFrames(const std::filesystem::path& file);

// Files in `folder` whose name starts with ".vexal-meta-".
std::vector<std::filesystem::path> leftoverTemporaries(const std::filesystem::path& folder);

// A valid 1x1 RGBA PNG and a small baseline JPEG header (16x8, 3 components).
const std::vector<std::uint8_t>& pngImage();
const std::vector<std::uint8_t>& jpegImage();

}  // namespace vexal::test
