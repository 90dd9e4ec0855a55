#pragma once

// Cue sheets as jobs: one per track, each a frame range of the sheet's audio file.

#include <QString>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "model/audio_metadata.h"
#include "model/conversion_job.h"

namespace vexal {

struct CueSheet;

// What import reads of one audio file of a cue sheet.
struct CueAudioFile {
  std::filesystem::path path;
  double sampleRate = 0;
  std::int64_t totalFrames = 0;
  AudioMetadata tags;  // the file's own: album, date, genre, disc and cover when the sheet has none
};

// One job per track of a parsed sheet; `files` holds one entry per FILE of the sheet, in
// its order. A track runs from its INDEX 01 (from its file's start for the file's first
// track) to the next track's INDEX 01 in the same file, or to that file's end, so the
// tracks together cover every file exactly. The tracks go under `subfolder` when given,
// else under the sheet's album title, else `cueBaseName` (the sheet's file name without
// extension).
std::vector<std::shared_ptr<ConversionJob>> makeCueTrackJobs(
    const CueSheet& sheet, const std::vector<CueAudioFile>& files, const QString& cueBaseName,
    const std::optional<QString>& subfolder = std::nullopt);

// The tracks of the sheet at `path`, with each job's track number.
struct CueImport {
  std::vector<std::shared_ptr<ConversionJob>> jobs;
  std::vector<std::int64_t> trackNumbers;
};
// Fails with the description of what could not be read (the sheet, or one of its files).
std::expected<CueImport, QString> readCueTracks(const QString& path,
                                                const std::optional<QString>& subfolder);

}  // namespace vexal
