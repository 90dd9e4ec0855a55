#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>

#include "engine/audio_file_info.h"
#include "model/audio_metadata.h"
#include "model/conversion_settings.h"
#include "model/output_format.h"

namespace vexal {

using ProgressCallback = std::function<void(double)>;

// Everything an encoder receives from the conversion entry.
struct EncodeRequest {
  std::filesystem::path source;
  std::filesystem::path output;
  OutputFormat format = OutputFormat::wav;
  ConversionSettings settings;
  AudioFileInfo info;
  std::optional<std::int64_t> start;  // source frames
  std::optional<std::int64_t> end;    // source frames, exclusive
  std::int64_t fadeInFrames = 0;      // output frames
  std::int64_t fadeOutFrames = 0;     // output frames
  std::optional<AudioMetadata> metadata;  // present only when it is to be written
  ProgressCallback progress;              // 0.0 ... 1.0 of this encoder's work
  std::stop_token stop;
  double gain = 1.0;

  void reportProgress(double value) const {
    if (progress) progress(value);
  }
};

}  // namespace vexal
