#pragma once

#include <cstdint>
#include <filesystem>

#include "model/conversion_error.h"

namespace vexal {

namespace platform {
class AudioFileReader;
}

// What a source holds, as the audio-file layer reports it.
struct AudioFileInfo {
  std::filesystem::path url;
  double sampleRate = 0;      // frames per second of the stored data
  std::uint32_t channels = 0;
  std::int64_t totalFrames = 0;
  std::uint32_t formatID = 0;  // four-character code of the stored data ('lpcm', 'flac', ...)
  std::uint32_t bitsPerChannel = 0;  // of PCM, FLAC or ALAC data; 0 for lossy codecs
  bool floatingPoint = false;        // float PCM
  bool operator==(const AudioFileInfo&) const = default;
};

// Fails with fileNotReadable when the file cannot be opened as audio, or with
// extAudioFileError("Read file format" / "Read frame count", status).
// Fails with sourceDamaged when counting the frames runs into damage.
Expected<AudioFileInfo> readAudioFileInfo(const std::filesystem::path& url);

// The error of a failed call `step` of `reader`: sourceDamaged, saying how far the
// source decoded, when the status reports damage; else extAudioFileError.
ConversionError readFailure(const platform::AudioFileReader& reader, std::string step, std::int32_t status);

}  // namespace vexal
