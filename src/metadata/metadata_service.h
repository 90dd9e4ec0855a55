#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "model/audio_metadata.h"
#include "model/output_format.h"
#include "model/replay_gain.h"

typedef struct vorbis_comment vorbis_comment;

namespace vexal {

// Tag reading and writing. Stateless.
namespace MetadataService {

// The tags of a file; never fails: whatever cannot be read is absent.
AudioMetadata readMetadata(const std::filesystem::path& url);

// Why writeToM4A failed.
struct WriteError {
  enum class Kind { exportFailed, exporterUnavailable };
  Kind kind = Kind::exportFailed;
  std::string description;  // the underlying error, for exportFailed
  std::string text() const;
};

// Rewrites an M4A (AAC or ALAC) file so it carries exactly the tags of `metadata`,
// through a hidden temporary file in the same folder that then replaces it. The audio
// stays byte-identical; on failure the original is untouched and no temporary remains.
// ReplayGain values in `gains` are set in the same rewrite.
std::optional<WriteError> writeToM4A(const AudioMetadata& metadata,
                                     const std::filesystem::path& url,
                                     const ReplayGainTags& gains = {});

// Writes the Vorbis comments of `metadata` and its cover as a picture block into a
// finished FLAC file without touching the audio frames, with `gains` as for writeToM4A.
std::optional<WriteError> writeToFlac(const AudioMetadata& metadata,
                                      const std::filesystem::path& url,
                                      const ReplayGainTags& gains = {});

// The Vorbis-comment fields of a record, in the order they are written
// (TITLE, ARTIST, ALBUM, ALBUMARTIST, GENRE, COMPOSER, DATE, TRACKNUMBER, TRACKTOTAL,
// DISCNUMBER); joined artists, album artists, genres and composers as one comment per
// value, DATE as the full date when the record has one. Shared by the Vorbis, Opus and
// FLAC writers.
std::vector<std::pair<std::string, std::string>> commentFields(const AudioMetadata& metadata);

// Every output format but WAV and AIFF carries ReplayGain (or R128) tags.
inline bool holdsReplayGain(OutputFormat format) {
  return format != OutputFormat::wav && format != OutputFormat::aiff;
}

// The ReplayGain fields of an output of `format`, as (name, text): REPLAYGAIN_TRACK_GAIN,
// _TRACK_PEAK, _ALBUM_GAIN, _ALBUM_PEAK (gain against -18 LUFS as "-6.52 dB", peak as
// "0.988831") for Vorbis comments and ID3v2 TXXX descriptions, the same in lower case as
// MP4 freeform "----:com.apple.iTunes:" items, and R128_TRACK_GAIN / R128_ALBUM_GAIN
// (Q7.8 dB against -23 LUFS) for Opus. None for WAV and AIFF.
std::vector<std::pair<std::string, std::string>> replayGainFields(const ReplayGainTags& tags,
                                                                  OutputFormat format);

// Sets replayGainFields(tags, format) in a finished output, replacing earlier values of
// those fields and keeping every other tag, through a hidden copy that replaces the file
// in one rename.
std::optional<WriteError> writeReplayGain(const ReplayGainTags& tags, OutputFormat format,
                                          const std::filesystem::path& url);

// commentFields(metadata) and the artwork, when it is a JPEG, PNG, GIF, WebP or BMP
// image, as the front-cover METADATA_BLOCK_PICTURE comment (a base64 FLAC picture
// block): the comments of the Vorbis and Opus writers.
std::vector<std::pair<std::string, std::string>> oggCommentFields(const AudioMetadata& metadata);
void addVorbisComments(vorbis_comment* comments, const AudioMetadata& metadata);

}  // namespace MetadataService

}  // namespace vexal
