#pragma once

#include <cerrno>
#include <string>

#include "model/conversion_error.h"

namespace vexal {

// The steps of writing an output file, as every encoder names them.
inline constexpr const char* kCreateDestinationStep = "Create destination";
inline constexpr const char* kWriteAudioStep = "Write audio data";

// A failed step on a file an encoder writes itself, with the system's reason (errno,
// read right after the failing call): "No space left on device", not a bare number.
inline ConversionError outputFileError(const char* step) {
  const int reason = errno;
  return ConversionError::extAudioFileError(step, reason != 0 ? -reason : -EIO);
}

}  // namespace vexal
