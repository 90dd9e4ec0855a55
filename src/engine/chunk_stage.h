#pragma once

#include <cstdint>

namespace vexal {

// Gain, then linear fade-in, then linear fade-out, applied in place to one chunk of
// interleaved frames just before it is encoded. Shared by every encoder.
struct ChunkStage {
  double gain = 1.0;
  std::int64_t fadeInFrames = 0;
  std::int64_t fadeOutFrames = 0;
  std::int64_t total = 0;  // frames of the range; 0 or less: unknown, no fade-out

  // `position`: frames of the range already processed before this chunk.
  // Factors in 32-bit floats: frame p of a fade-in is scaled by p / fadeIn, frame q of a
  // fade-out by (total - q) / fadeOut clamped to [0, 1]; overlapping fades multiply.
  void apply(float* samples, std::int64_t frames, std::uint32_t channels,
             std::int64_t position) const;
  // The same on 16-bit samples: products in double, truncated toward zero and
  // clamped to the 16-bit range, so a gain above 1 clips before the fades.
  void apply(std::int16_t* samples, std::int64_t frames, std::uint32_t channels,
             std::int64_t position) const;
};

}  // namespace vexal
