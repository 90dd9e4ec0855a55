#include "engine/chunk_reader.h"

#include <cmath>

namespace vexal {

namespace {
constexpr std::int64_t kResamplerRoundingFrames = 2;
}  // namespace

bool isSupportedClientFormat(double sampleRate, std::int64_t channels) {
  return std::isfinite(sampleRate) && sampleRate >= platform::kMinSampleRate &&
         sampleRate <= platform::kMaxSampleRate && channels >= 1 &&
         channels <= platform::kMaxChannels;
}

Expected<> checkBudgetReached(const EncodeRequest& request, const FrameBudget& budget,
                              double clientRate, std::int64_t processed) {
  const double sourceRate = request.info.sampleRate > 0 ? request.info.sampleRate : clientRate;
  // Resampling rounds the length to whole frames at each end of the stream.
  const std::int64_t tolerance = clientRate == sourceRate ? 0 : kResamplerRoundingFrames;
  if (!budget.bounded || processed >= budget.frames - tolerance) return {};
  const double start = static_cast<double>(request.start.value_or(0)) / sourceRate;
  return Unexpected(ConversionError::sourceDamaged(start + static_cast<double>(processed) / clientRate,
                                                   start + static_cast<double>(budget.frames) / clientRate));
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
