#pragma once

#include <optional>

namespace vexal {

// The loudness of a track or an album: gated integrated loudness in LUFS and the sample
// peak (linear, 1.0 = full scale).
struct GainMeasure {
  double lufs = 0;
  double peak = 0;
};

// The ReplayGain values written into an output; a part left absent is not touched.
struct ReplayGainTags {
  std::optional<GainMeasure> track;
  std::optional<GainMeasure> album;
};

}  // namespace vexal
