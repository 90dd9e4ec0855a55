#pragma once

#include "model/audio_metadata.h"

struct lame_global_struct;

namespace vexal {

// Sets the ID3v2 fields of `metadata` on an initialised LAME handle, before
// lame_init_params: title, artist, album, year, genre, track ("3/12" or "3"),
// composer (TCOM), album artist (TPE2) and disc (TPOS). Empty texts are skipped; values
// the library refuses are simply missing. The pictures (LAME would label a cover
// "other"), the full date, the disc total and the other properties are added after
// encoding by MetadataService::writeToMp3.
void writeID3Tags(const AudioMetadata& metadata, lame_global_struct* lame);

}  // namespace vexal
