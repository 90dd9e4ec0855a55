#include "engine/audio_file_info.h"

#include "platform/audio_file.h"

namespace vexal {

ConversionError readFailure(const platform::AudioFileReader& reader, std::string step, std::int32_t status) {
  if (status != platform::kStatusSourceDamaged) return ConversionError::extAudioFileError(std::move(step), status);
  const platform::DamageReport damage = reader.damage();
  const double rate = damage.sampleRate > 0 ? damage.sampleRate : 1.0;
  return ConversionError::sourceDamaged(static_cast<double>(damage.decodedFrames) / rate,
                                        static_cast<double>(damage.declaredFrames) / rate);
}

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
    return Unexpected(readFailure(*reader, "Read frame count", status));
  }
  return AudioFileInfo{url,
                       format.sampleRate,
                       format.channelsPerFrame,
                       frames,
                       format.formatID,
                       format.bitsPerChannel,
                       (format.formatFlags & platform::FormatFlags::kFloat) != 0};
}

}  // namespace vexal
