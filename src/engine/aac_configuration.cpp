#include "engine/aac_configuration.h"

#include <limits>

namespace vexal {

namespace {

// Encoder quality per VBR strategy; the labels promise about 96, 128 and 192 kbit/s
// for stereo music (see the platform layer for the measured mapping).
double vbrQuality(AACStrategy strategy) {
  switch (strategy) {
    case AACStrategy::vbrLow: return platform::kAACQualityLow;
    case AACStrategy::vbrMedium: return platform::kAACQualityMedium;
    case AACStrategy::vbrHigh:
    case AACStrategy::cbr: break;
  }
  return platform::kAACQualityHigh;
}

}  // namespace

Expected<> configureAACBitrate(platform::AudioFileWriter& destination, std::int64_t bitRate) {
  if (bitRate < 0 || bitRate > std::numeric_limits<std::uint32_t>::max()) {
    return Unexpected(
        ConversionError::extAudioFileError("Set AAC bitrate", platform::kStatusBadArgument));
  }
  if (const auto s = destination.setAACBitrate(static_cast<std::uint32_t>(bitRate));
      s != platform::kNoError) {
    return Unexpected(ConversionError::extAudioFileError("Set AAC bitrate", s));
  }
  if (const auto s = destination.commitEncoderSettings(); s != platform::kNoError) {
    return Unexpected(ConversionError::extAudioFileError("Sync converter config", s));
  }
  return {};
}

Expected<> configureAACVBR(platform::AudioFileWriter& destination, AACStrategy strategy) {
  // A refused quality would only surface at the first write; fail here instead, under
  // the step that applies the converter configuration.
  if (const auto s = destination.setAACVBRQuality(vbrQuality(strategy)); s != platform::kNoError) {
    return Unexpected(ConversionError::extAudioFileError("Sync converter config", s));
  }
  if (const auto s = destination.commitEncoderSettings(); s != platform::kNoError) {
    return Unexpected(ConversionError::extAudioFileError("Sync converter config", s));
  }
  return {};
}

}  // namespace vexal
