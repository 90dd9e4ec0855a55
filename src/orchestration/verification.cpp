#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "orchestration/verification.h"
#include "platform/audio_file.h"

namespace vexal {

namespace {
constexpr std::uint32_t kVerifyChunkFrames = 8192;
}  // namespace

VerificationResult verifyOutput(const std::filesystem::path& url, std::stop_token stop) {
  std::unique_ptr<platform::AudioFileReader> reader;
  if (platform::AudioFileReader::open(url, reader) != platform::kNoError || !reader) return {};
  platform::StreamDescription format;
  if (reader->getFileDataFormat(format) != platform::kNoError) return {};
  std::int64_t frames = 0;
  if (reader->getFileLengthFrames(frames) != platform::kNoError) return {};
  const std::uint32_t channels = format.channelsPerFrame;
  if (channels == 0 || reader->setClientFormat(platform::floatClientFormat(
                           format.sampleRate, channels)) != platform::kNoError) {
    return {};
  }
  std::vector<float> buffer(static_cast<std::size_t>(kVerifyChunkFrames) * channels);
  VerificationResult result;
  result.sampleRate = format.sampleRate;
  while (!stop.stop_requested()) {
    std::uint32_t read = kVerifyChunkFrames;
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
      return result;
    }
    const std::size_t samples = static_cast<std::size_t>(read) * channels;
    for (std::size_t i = 0; i < samples; ++i) {
      if (!std::isfinite(buffer[i])) return {};
    }
    result.checksum = pcmChecksum(result.checksum, buffer.data(), samples);
    result.frames += read;
  }
  return {};
}

std::optional<std::string> verificationFailure(const VerificationResult& decoded,
                                               const ConversionTally& encoded) {
  if (!decoded.decodable) return "output is not decodable";
  if (encoded.sampleRate <= 0 || decoded.sampleRate <= 0) return std::nullopt;
  // Every codec here restores the exact length (delay and padding are trimmed on
  // decode); an output at another rate than was encoded (Opus stores 48 kHz) may
  // round to the nearest frame.
  const double scale = decoded.sampleRate / encoded.sampleRate;
  const std::int64_t expected = std::llround(static_cast<double>(encoded.frames) * scale);
  const std::int64_t tolerance = scale == 1.0 ? 0 : static_cast<std::int64_t>(std::ceil(scale));
  if (std::llabs(decoded.frames - expected) > tolerance) {
    char text[96];
    std::snprintf(text, sizeof text, "decoded %.2f s of %.2f s",
                  static_cast<double>(decoded.frames) / decoded.sampleRate,
                  static_cast<double>(encoded.frames) / encoded.sampleRate);
    return std::string(text);
  }
  if (decoded.damaged) return "output is damaged";
  if (encoded.checksum && *encoded.checksum != decoded.checksum) {
    return "audio differs from the source";
  }
  return std::nullopt;
}

}  // namespace vexal
