#pragma once

// Album ReplayGain in a mirror. Each output's loudness is kept in the index beside it (the
// album it belongs to, its sample peak and its 400 ms block loudness as a histogram), so
// when any track of an album converts again, in any run or shard, the album's values are
// worked out from every track's stored loudness and written into every track's output
// (their audio untouched) without decoding the others.

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/loudness.h"
#include "model/conversion_job.h"
#include "orchestration/mirror_store.h"

namespace vexal {

struct TrackLoudness {
  std::string album;
  double peak = 0;  // linear sample peak
  LoudnessHistogram histogram;
};
std::string encodeTrackLoudness(const TrackLoudness& track);
std::optional<TrackLoudness> decodeTrackLoudness(std::string_view text);

// The album of a source as the index records it: like albumKey, but from the source's
// library path, so it is the same on every machine and mount. `cueTrack`: the library
// path is the track's cue sheet.
std::optional<std::string> libraryAlbumKey(const ConversionJob& job, const std::string& libraryPath,
                                           bool cueTrack, bool byFolder);

// Writes album values into every output of `albums` in `formats` that the index records
// as Vexal's: the album's loudness gates the pooled histograms of all its tracks, its
// peak is the loudest track's; two tracks at least.
// Returns the outputs given new album values.
int updateMirrorAlbums(MirrorStore& store, const std::set<std::string>& albums,
                       const std::set<OutputFormat>& formats);

}  // namespace vexal
