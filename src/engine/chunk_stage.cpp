#include "engine/chunk_stage.h"

#include <algorithm>
#include <cmath>

namespace vexal {

namespace {

std::int16_t scaled16(std::int16_t sample, double factor) {
  const double value = std::clamp(std::trunc(sample * factor), -32768.0, 32767.0);
  return static_cast<std::int16_t>(value);
}

}  // namespace

void ChunkStage::apply(float* samples, std::int64_t frames, std::uint32_t channels,
                       std::int64_t position) const {
  const std::int64_t count = frames * channels;
  if (gain != 1.0) {
    const float g = static_cast<float>(gain);
    for (std::int64_t i = 0; i < count; ++i) samples[i] *= g;
  }
  if (fadeInFrames > 0 && position < fadeInFrames) {
    const float length = static_cast<float>(fadeInFrames);
    for (std::int64_t i = 0; i < frames && position + i < fadeInFrames; ++i) {
      const float factor = static_cast<float>(position + i) / length;
      float* frame = samples + i * channels;
      for (std::uint32_t c = 0; c < channels; ++c) frame[c] *= factor;
    }
  }
  if (total > 0 && fadeOutFrames > 0 && total - fadeOutFrames < position + frames) {
    const float length = static_cast<float>(fadeOutFrames);
    const std::int64_t fadeStart = total - fadeOutFrames;
    for (std::int64_t i = std::max<std::int64_t>(0, fadeStart - position); i < frames; ++i) {
      const std::int64_t q = position + i;
      const float factor =
          std::clamp(static_cast<float>(total - q) / length, 0.0f, 1.0f);
      float* frame = samples + i * channels;
      for (std::uint32_t c = 0; c < channels; ++c) frame[c] *= factor;
    }
  }
}

void ChunkStage::apply(std::int16_t* samples, std::int64_t frames, std::uint32_t channels,
                       std::int64_t position) const {
  const std::int64_t count = frames * channels;
  if (gain != 1.0) {
    for (std::int64_t i = 0; i < count; ++i) samples[i] = scaled16(samples[i], gain);
  }
  if (fadeInFrames > 0 && position < fadeInFrames) {
    for (std::int64_t i = 0; i < frames && position + i < fadeInFrames; ++i) {
      const double factor = static_cast<double>(position + i) / static_cast<double>(fadeInFrames);
      std::int16_t* frame = samples + i * channels;
      for (std::uint32_t c = 0; c < channels; ++c) frame[c] = scaled16(frame[c], factor);
    }
  }
  if (total > 0 && fadeOutFrames > 0 && total - fadeOutFrames < position + frames) {
    const std::int64_t fadeStart = total - fadeOutFrames;
    for (std::int64_t i = std::max<std::int64_t>(0, fadeStart - position); i < frames; ++i) {
      const std::int64_t q = position + i;
      const double factor =
          std::clamp(static_cast<double>(total - q) / static_cast<double>(fadeOutFrames), 0.0, 1.0);
      std::int16_t* frame = samples + i * channels;
      for (std::uint32_t c = 0; c < channels; ++c) frame[c] = scaled16(frame[c], factor);
    }
  }
}

}  // namespace vexal
