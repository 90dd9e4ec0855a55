#include "engine/audio_file_info.h"

#include "platform/audio_file.h"

namespace vexal {

Expected<AudioFileInfo> readAudioFileInfo(const std::filesystem::path& url) {
  std::unique_ptr<platform::AudioFileReader> reader;
  if (platform::AudioFileReader::open(url, reader) != platform::kNoError || !reader) {
    return Unexpected(ConversionError::fileNotReadable(url));
  }
  platform::StreamDescription format;
  if (const auto status = reader->getFileDataFormat(format); status != platform::kNoError) {
    return Unexpected(ConversionError::extAudioFileError("Read file format", status));
  }
  std::int64_t frames = 0;
  if (const auto status = reader->getFileLengthFrames(frames); status != platform::kNoError) {
    return Unexpected(ConversionError::extAudioFileError("Read frame count", status));
  }
  return AudioFileInfo{url, format.sampleRate, format.channelsPerFrame, frames, format.formatID,
                       format.bitsPerChannel};
}

}  // namespace vexal
