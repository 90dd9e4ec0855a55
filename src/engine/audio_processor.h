#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stop_token>

#include "engine/encode_request.h"
#include "model/conversion_error.h"
#include "model/conversion_settings.h"
#include "model/output_format.h"

namespace vexal {

// The engine's entry: one source (or a frame range of it) into one output file.
// Synchronous; runs on the caller's worker thread. Knows nothing of Qt.
class AudioProcessor {
 public:
  struct SilenceBounds {
    std::int64_t startFrame = 0;  // first loud frame (absolute source frame)
    std::int64_t endFrame = 0;    // just after the last loud frame
    bool operator==(const SilenceBounds&) const = default;
  };

  // Steps in order: read the source's info, fit rate and bit rate to the encoder's
  // limits (encoderShape; an adaptation is logged), trim silence, analyse loudness,
  // work out fades, read tags, encode, tag M4A outputs. `progress` receives 0.0 ... 1.0 from
  // this thread; `stop` cancels (the conversion then fails with `cancelled`). An
  // existing file at `output` is replaced; the engine never deletes an output. `tags`,
  // when given, is written instead of the source's own tags (a cue track's record). A
  // frame range holding no audio fails rather than writing an empty file. A
  // `tally` receives what was encoded, for verifying the output afterwards.
  static Expected<> convert(const std::filesystem::path& source,
                            const std::filesystem::path& output, OutputFormat format,
                            const ConversionSettings& settings,
                            std::optional<std::int64_t> startFrame,
                            std::optional<std::int64_t> endFrame, ProgressCallback progress,
                            std::stop_token stop = {}, const AudioMetadata* tags = nullptr,
                            ConversionTally* tally = nullptr);

  // The first and last samples above `thresholdDB` inside [start, end). A range with
  // no such sample is returned unchanged (an all-silent track keeps its own range).
  static Expected<SilenceBounds> detectSilence(const std::filesystem::path& source,
                                               std::optional<std::int64_t> start,
                                               std::optional<std::int64_t> end,
                                               const AudioFileInfo& info, double thresholdDB);
};

// Encoders, one per file; each reads through ChunkReader and writes `request.output`.
// The container writer serves aac, alac, flac, wav and aiff.
Expected<> encodeWithExtAudioFile(const EncodeRequest& request);
Expected<> encodeMP3(const EncodeRequest& request);
Expected<> encodeOpus(const EncodeRequest& request);
Expected<> encodeVorbis(const EncodeRequest& request);

}  // namespace vexal
