#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
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

// The tags of a file; never fails: whatever cannot be read is absent. Besides the
// record's fields it holds every other property and picture of the file (see
// AudioMetadata::properties), except what describes that file's own encoding (ENCODER,
// ENCODING, ENCODEDBY, LENGTH, iTunes gapless and Sound Check values, the FLAC channel
// mask). Totals read as "2/3" or as TOTALDISCS become DISCTOTAL; the front cover (else
// the first picture) is `artwork`.
AudioMetadata readMetadata(const std::filesystem::path& url);

// Properties whose values describe the audio's level: ReplayGain and R128 gains and
// peaks. They stay true only while the output's level is the source's.
bool isGainProperty(std::string_view key);

// The properties that describe a whole album (identifiers, sort names, label, original
// date, disc total, album gain, ...), which every track cut from one file shares; the
// others (a recording's identifier, ISRC, lyrics, track gain) describe the file itself.
TagProperties albumProperties(const TagProperties& properties);

// Applies the cover options for devices: pictures whose longer side exceeds `maxSide`
// pixels become JPEGs of that size (quality 90), and with `frontCoverOnly` only the
// cover in `artwork` stays.
void fitPictures(AudioMetadata& metadata, std::optional<std::uint32_t> maxSide,
                 bool frontCoverOnly);

// Why writeToM4A failed.
struct WriteError {
  enum class Kind { exportFailed, exporterUnavailable };
  Kind kind = Kind::exportFailed;
  std::string description;  // the underlying error, for exportFailed
  std::string text() const;
};

// Rewrites an M4A (AAC or ALAC) file so it carries exactly the tags of `metadata` (its
// other properties as the tag library names them in MP4 files, the front cover only),
// through a hidden temporary file in the same folder that then replaces it. The audio
// stays byte-identical; on failure the original is untouched and no temporary remains.
// ReplayGain values in `gains` are set in the same rewrite.
std::optional<WriteError> writeToM4A(const AudioMetadata& metadata,
                                     const std::filesystem::path& url,
                                     const ReplayGainTags& gains = {});

// Writes the Vorbis comments of `metadata` and its pictures as picture blocks into a
// finished FLAC file without touching the audio frames, with `gains` as for writeToM4A.
std::optional<WriteError> writeToFlac(const AudioMetadata& metadata,
                                      const std::filesystem::path& url,
                                      const ReplayGainTags& gains = {});

// Completes the ID3v2 tag LAME wrote into a finished MP3 file with what LAME cannot
// write: the other properties, the full date, the disc total ("2/3") and the pictures
// with their types (the cover as type 3, front cover), with `gains` as for writeToM4A,
// in one rewrite through a hidden copy. Nothing is rewritten when there is nothing to add.
std::optional<WriteError> writeToMp3(const AudioMetadata& metadata,
                                     const std::filesystem::path& url,
                                     const ReplayGainTags& gains = {});

// The Vorbis-comment fields of a record, in the order they are written
// (TITLE, ARTIST, ALBUM, ALBUMARTIST, GENRE, COMPOSER, DATE, TRACKNUMBER, TRACKTOTAL,
// DISCNUMBER, then every other property by name); joined artists, album artists, genres
// and composers as one comment per value, DATE as the full date when the record has one.
// Shared by the Vorbis, Opus and FLAC writers.
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

// commentFields(metadata) and the pictures that are JPEG, PNG, GIF, WebP or BMP images
// as METADATA_BLOCK_PICTURE comments (base64 FLAC picture blocks), the cover first as
// the front cover: the comments of the Vorbis and Opus writers.
std::vector<std::pair<std::string, std::string>> oggCommentFields(const AudioMetadata& metadata);
void addVorbisComments(vorbis_comment* comments, const AudioMetadata& metadata);

}  // namespace MetadataService

}  // namespace vexal
