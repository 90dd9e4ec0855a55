#include "engine/audio_processor.h"

namespace vexal {

Expected<> encodeMP3(const EncodeRequest&) {
  return Unexpected(ConversionError::unsupportedFormat("MP3 encoder not available"));
}

}  // namespace vexal
