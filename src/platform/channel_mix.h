#pragma once

// How the reader mixes channels when the client asks for another count. Private to the
// audio-file layer.

#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
}

namespace vexal::platform {

// Mono to stereo copies the channel to both sides; stereo to mono averages. FFmpeg's
// defaults differ (-3 dB centre spread), so these two are set explicitly. False for other
// counts.
bool explicitMatrix(int inChannels, int outChannels, std::vector<double>& matrix);

// The one downmix of more than two channels to stereo or mono, for every client format
// (ITU-R BS.775): each output row is divided by the sum of its coefficients, so a
// full-scale source cannot clip. False when there is nothing to mix down.
bool downmixMatrix(const AVChannelLayout& in, int outChannels, std::vector<double>& matrix);

}  // namespace vexal::platform
