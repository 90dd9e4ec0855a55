#include "engine/audio_processor.h"

namespace vexal {

Expected<> encodeOpus(const EncodeRequest&) {
  return Unexpected(ConversionError::unsupportedFormat("Opus encoder not available"));
}

}  // namespace vexal
