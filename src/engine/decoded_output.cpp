#include "engine/decoded_output.h"

#include <cmath>
#include <memory>

#include "engine/chunk_reader.h"
#include "engine/encode_request.h"
#include "engine/loudness.h"
#include "platform/audio_file.h"

namespace vexal {

DecodedOutput decodeOutput(const std::filesystem::path& path, std::stop_token stop,
                           bool measureLoudness) {
  std::unique_ptr<platform::AudioFileReader> reader;
  if (platform::AudioFileReader::open(path, reader) != platform::kNoError || !reader) return {};
  platform::StreamDescription format;
  if (reader->getFileDataFormat(format) != platform::kNoError) return {};
  // Not asked for its length: in Ogg, MP3 and ADTS that is a whole decode of its own,
  // and the frames read below are the count.
  const std::uint32_t channels = format.channelsPerFrame;
  if (!isSupportedClientFormat(format.sampleRate, channels) ||
      reader->setClientFormat(platform::floatClientFormat(format.sampleRate, channels)) !=
          platform::kNoError) {
    return {};
  }
  std::vector<float> buffer(static_cast<std::size_t>(kChunkFrames) * channels);
  std::optional<LoudnessMeter> meter;
  if (measureLoudness) meter.emplace(format.sampleRate, channels);
  DecodedOutput result;
  result.sampleRate = format.sampleRate;
  while (!stop.stop_requested()) {
    std::uint32_t read = kChunkFrames;
    const platform::Status status = reader->read(buffer.data(), read);
    if (status == platform::kStatusSourceDamaged) {
      // What decoded up to the damage still tells how much of the output is there.
      result.decodable = true;
      result.damaged = true;
      result.frames = std::max(result.frames, reader->damage().decodedFrames);
      return result;
    }
    if (status != platform::kNoError) return {};
    if (read == 0) {
      result.decodable = true;
      if (meter) {
        meter->finish();
        result.loudness = MeasuredLoudness{meter->peak(), meter->blockPowers(), meter->result().rmsDB};
      }
      return result;
    }
    const std::size_t samples = static_cast<std::size_t>(read) * channels;
    for (std::size_t i = 0; i < samples; ++i) {
      if (!std::isfinite(buffer[i])) return {};
    }
    result.checksum = pcmChecksum(result.checksum, buffer.data(), samples);
    if (meter) meter->add(buffer.data(), read);
    result.frames += read;
  }
  return {};
}

}  // namespace vexal
