#pragma once

// Album ReplayGain: the tracks of one album measured together, their values written
// into every track's output once the album's last track is done.

#include <filesystem>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "engine/loudness.h"
#include "metadata/metadata_service.h"
#include "model/conversion_job.h"

namespace vexal {

// The album a job belongs to: the tracks of one folder with the same album tag, or the
// tracks of one cue-sheet image that names no album. None for a plain file without an
// album tag. `byFolder`: every track of one source folder, tags or not.
std::optional<std::string> albumKey(const ConversionJob& job, bool byFolder = false);

// The outputs of one album in a batch, gathered as its tracks finish.
struct AlbumGroup {
  struct Track {
    OutputFormat format;
    std::filesystem::path path;
    MeasuredLoudness loudness;
  };
  int pending = 0;       // tracks not finished yet
  bool spoiled = false;  // a track failed or lacks a measurement: no album values
  std::vector<Track> tracks;
};

// Album values per format from the pooled gating blocks of every track (not an average
// of track gains), then the outputs to tag with them.
std::vector<std::tuple<OutputFormat, std::filesystem::path, ReplayGainTags>> albumTags(
    const AlbumGroup& album);

}  // namespace vexal
