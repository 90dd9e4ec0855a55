#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "engine/audio_processor.h"
#include "engine/chunk_reader.h"
#include "platform/audio_file.h"

namespace vexal {

namespace {

// The scan has no step of its own for a refused client format; it names one.
constexpr const char* kClientFormatStep = "Set client format for silence scan";

// One pass's handle and buffer at the source's own rate and channels.
struct ScanPass {
  std::unique_ptr<platform::AudioFileReader> reader;
  std::vector<float> buffer;
};

Expected<ScanPass> openPass(const std::filesystem::path& source, const AudioFileInfo& info) {
  if (!isSupportedClientFormat(info.sampleRate, info.channels)) {
    return Unexpected(
        ConversionError::extAudioFileError(kClientFormatStep, platform::kStatusBadClientFormat));
  }
  ScanPass pass;
  if (platform::AudioFileReader::open(source, pass.reader) != platform::kNoError || !pass.reader) {
    return Unexpected(ConversionError::fileNotReadable(source));
  }
  const auto client = platform::floatClientFormat(info.sampleRate, info.channels);
  if (const auto s = pass.reader->setClientFormat(client); s != platform::kNoError) {
    return Unexpected(ConversionError::extAudioFileError(kClientFormatStep, s));
  }
  pass.buffer.assign(static_cast<std::size_t>(kChunkFrames) * info.channels, 0.0f);
  return pass;
}

}  // namespace

Expected<AudioProcessor::SilenceBounds> AudioProcessor::detectSilence(
    const std::filesystem::path& source, std::optional<std::int64_t> start,
    std::optional<std::int64_t> end, const AudioFileInfo& info, double thresholdDB) {
  // Computed in 64 bits, compared in 32: a sample exactly at the threshold is not loud.
  const float threshold = static_cast<float>(std::pow(10.0, thresholdDB / 20.0));
  const auto loud = [threshold](float sample) { return std::fabs(sample) > threshold; };
  const std::int64_t rangeStart = start.value_or(0);
  const std::int64_t rangeEnd = end.value_or(info.totalFrames);
  const std::int64_t length = rangeEnd - rangeStart;
  const std::uint32_t channels = info.channels;

  // Backward seeks in compressed streams decode from the start of the file, so for them
  // the forward pass reads the whole range once and notes the last loud frame too.
  const bool seeksCheaply = info.formatID == platform::FormatID::kLinearPCM ||
                            info.formatID == platform::FormatID::kFLAC ||
                            info.formatID == platform::FormatID::kALAC;
  const auto lastLoudFrame = [&](const float* samples, std::int64_t frames) -> std::int64_t {
    for (std::int64_t i = frames - 1; i >= 0; --i) {
      const float* frame = samples + i * channels;
      if (std::any_of(frame, frame + channels, loud)) return i;
    }
    return -1;
  };

  // Forward: the first loud sample from the range start.
  std::int64_t first = rangeStart + length;
  std::int64_t last = rangeStart;
  {
    auto pass = openPass(source, info);
    if (!pass) return Unexpected(std::move(pass.error()));
    if (const auto s = pass->reader->seek(rangeStart); s != platform::kNoError) {
      return Unexpected(ConversionError::extAudioFileError("Seek in forward silence scan", s));
    }
    bool found = false;
    for (std::int64_t offset = 0; offset < length && (!found || !seeksCheaply);) {
      std::uint32_t frames =
          static_cast<std::uint32_t>(std::min<std::int64_t>(length - offset, kChunkFrames));
      if (const auto s = pass->reader->read(pass->buffer.data(), frames); s != platform::kNoError) {
        return Unexpected(readFailure(*pass->reader, "Read in forward silence scan", s));
      }
      if (frames == 0) break;
      const float* samples = pass->buffer.data();
      if (!found) {
        const auto hit = std::find_if(samples, samples + std::size_t{frames} * channels, loud);
        if (hit != samples + std::size_t{frames} * channels) {
          first = rangeStart + offset + (hit - samples) / channels;
          found = true;
        }
      }
      if (found && !seeksCheaply) {
        if (const auto i = lastLoudFrame(samples, frames); i >= 0) last = rangeStart + offset + i + 1;
      }
      offset += frames;
    }
  }

  // Reverse: chunks from the range end backwards, each scanned from its last frame, so
  // sound near both ends costs about two chunks of reading.
  if (seeksCheaply) {
    auto pass = openPass(source, info);
    if (!pass) return Unexpected(std::move(pass.error()));
    for (std::int64_t remaining = length; remaining > 0;) {
      const std::int64_t n = std::min<std::int64_t>(remaining, kChunkFrames);
      remaining -= n;
      const std::int64_t position = rangeStart + remaining;
      if (const auto s = pass->reader->seek(position); s != platform::kNoError) {
        return Unexpected(ConversionError::extAudioFileError("Seek in reverse silence scan", s));
      }
      std::uint32_t frames = static_cast<std::uint32_t>(n);
      if (const auto s = pass->reader->read(pass->buffer.data(), frames); s != platform::kNoError) {
        return Unexpected(readFailure(*pass->reader, "Read in reverse silence scan", s));
      }
      if (frames == 0) break;
      if (const auto i = lastLoudFrame(pass->buffer.data(), frames); i >= 0) {
        last = position + i + 1;
        break;
      }
    }
  }

  // No loud sample: the range stays as asked, so an all-silent track keeps its own span
  // instead of running on to the end of the file.
  if (last <= first) return SilenceBounds{rangeStart, rangeEnd};
  return SilenceBounds{first, last};
}

}  // namespace vexal
