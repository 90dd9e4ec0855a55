#include "engine/chunk_reader.h"

#include <cmath>

namespace vexal {

bool isSupportedClientFormat(double sampleRate, std::int64_t channels) {
  return std::isfinite(sampleRate) && sampleRate >= platform::kMinSampleRate &&
         sampleRate <= platform::kMaxSampleRate && channels >= 1 &&
         channels <= platform::kMaxChannels;
}

FrameBudget frameBudget(const EncodeRequest& request, double clientRate) {
  const std::int64_t start = request.start.value_or(0);
  FrameBudget budget;
  if (request.end) {
    budget = {true, std::max<std::int64_t>(0, *request.end - start)};
  } else if (request.info.totalFrames > 0) {
    budget = {true, std::max<std::int64_t>(0, request.info.totalFrames - start)};
  } else {
    return budget;  // length unknown: read until the file ends
  }
  const double sourceRate = request.info.sampleRate;
  if (sourceRate > 0 && clientRate != sourceRate) {
    budget.frames = std::llround(static_cast<double>(budget.frames) * clientRate / sourceRate);
  }
  return budget;
}

}  // namespace vexal
