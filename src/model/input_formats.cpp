#include "model/input_formats.h"

namespace vexal {

const std::set<std::string>& acceptedInputExtensions() {
  // Everything the decoder reads: PCM containers (AIFF-C too), the common lossy and
  // lossless codecs, Matroska/WebM, audiobooks (m4b), and the lossless images found
  // beside cue sheets (Monkey's Audio, WavPack, TTA), DSD (dsf, dff) and Musepack.
  static const std::set<std::string> kExtensions = {
      "mp3", "m4a", "m4b", "aac", "wav", "aiff", "aif", "aifc", "flac", "caf", "alac", "ogg", "oga",
      "wma", "opus", "ape", "wv", "tta", "mka", "webm", "dsf", "dff", "mpc"};
  return kExtensions;
}

}  // namespace vexal
