#include "platform/channel_mix.h"

#include <algorithm>
#include <numeric>
#include <utility>

namespace vexal::platform {

namespace {

// Where a channel goes in a stereo downmix (ITU-R BS.775): the front pair as it is,
// the centre and the surround channels at -3 dB, low-frequency effects dropped.
constexpr double kDownmixSide = 0.70710678118654752;  // 1/sqrt(2)
std::pair<double, double> stereoShare(AVChannel channel) {
  switch (channel) {
    case AV_CHAN_FRONT_LEFT: return {1.0, 0.0};
    case AV_CHAN_FRONT_RIGHT: return {0.0, 1.0};
    case AV_CHAN_LOW_FREQUENCY:
    case AV_CHAN_LOW_FREQUENCY_2: return {0.0, 0.0};
    case AV_CHAN_FRONT_LEFT_OF_CENTER:
    case AV_CHAN_BACK_LEFT:
    case AV_CHAN_SIDE_LEFT:
    case AV_CHAN_WIDE_LEFT:
    case AV_CHAN_SURROUND_DIRECT_LEFT:
    case AV_CHAN_TOP_FRONT_LEFT:
    case AV_CHAN_TOP_BACK_LEFT:
    case AV_CHAN_TOP_SIDE_LEFT:
    case AV_CHAN_STEREO_LEFT: return {kDownmixSide, 0.0};
    case AV_CHAN_FRONT_RIGHT_OF_CENTER:
    case AV_CHAN_BACK_RIGHT:
    case AV_CHAN_SIDE_RIGHT:
    case AV_CHAN_WIDE_RIGHT:
    case AV_CHAN_SURROUND_DIRECT_RIGHT:
    case AV_CHAN_TOP_FRONT_RIGHT:
    case AV_CHAN_TOP_BACK_RIGHT:
    case AV_CHAN_TOP_SIDE_RIGHT:
    case AV_CHAN_STEREO_RIGHT: return {0.0, kDownmixSide};
    default: return {kDownmixSide, kDownmixSide};  // centres and unnamed channels
  }
}

}  // namespace

bool explicitMatrix(int inChannels, int outChannels, std::vector<double>& matrix) {
  if (inChannels == 1 && outChannels == 2) {
    matrix = {1.0, 1.0};  // [out][in]
    return true;
  }
  if (inChannels == 2 && outChannels == 1) {
    matrix = {0.5, 0.5};
    return true;
  }
  return false;
}

bool downmixMatrix(const AVChannelLayout& in, int outChannels, std::vector<double>& matrix) {
  const int inChannels = in.nb_channels;
  if (inChannels <= 2 || outChannels > 2) return false;
  matrix.assign(static_cast<std::size_t>(outChannels) * inChannels, 0.0);
  for (int c = 0; c < inChannels; ++c) {
    const auto [left, right] = stereoShare(av_channel_layout_channel_from_index(&in, c));
    if (outChannels == 2) {
      matrix[c] = left;
      matrix[inChannels + c] = right;
    } else {
      matrix[c] = left + right;
    }
  }
  for (int row = 0; row < outChannels; ++row) {
    const auto begin = matrix.begin() + static_cast<std::ptrdiff_t>(row) * inChannels;
    const double sum = std::accumulate(begin, begin + inChannels, 0.0);
    if (sum > 0.0) std::for_each(begin, begin + inChannels, [sum](double& k) { k /= sum; });
  }
  return true;
}

}  // namespace vexal::platform
