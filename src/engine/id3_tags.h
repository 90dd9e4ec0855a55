#pragma once

#include "model/audio_metadata.h"

struct lame_global_struct;

namespace vexal {

// Sets the ID3v2 fields of `metadata` on an initialised LAME handle, before
// lame_init_params: title, artist, album, year, genre, track ("3/12" or "3"),
// composer (TCOM), album artist (TPE2), disc (TPOS) and the cover picture.
// Empty texts are skipped; values the library refuses are simply missing.
void writeID3Tags(const AudioMetadata& metadata, lame_global_struct* lame);

}  // namespace vexal
