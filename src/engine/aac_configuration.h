#pragma once

#include <cstdint>

#include "model/conversion_error.h"
#include "model/options.h"
#include "platform/audio_file.h"

namespace vexal {

// Constant bit rate for an AAC destination, before its first write. A bit rate outside
// 0 ... 2^32 - 1 or one the encoder refuses fails with "Set AAC bitrate"; an encoder
// that cannot be opened with it fails with "Sync converter config".
Expected<> configureAACBitrate(platform::AudioFileWriter& destination, std::int64_t bitRate);

// Variable bit rate at the encoder quality of `strategy` (vbrLow, vbrMedium, vbrHigh).
// A refusal fails with "Sync converter config".
Expected<> configureAACVBR(platform::AudioFileWriter& destination, AACStrategy strategy);

}  // namespace vexal
