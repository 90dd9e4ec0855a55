#include "engine/audio_processor.h"

namespace vexal {

Expected<> encodeVorbis(const EncodeRequest&) {
  return Unexpected(ConversionError::unsupportedFormat("Vorbis encoder not available"));
}

}  // namespace vexal
