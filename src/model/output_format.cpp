#include "model/output_format.h"

#include <algorithm>

namespace vexal {

namespace {

struct FormatProperties {
  std::string_view raw;
  std::string_view displayName;
  std::string_view extension;
  bool lossy;
  std::int64_t defaultBitrate;
};

const FormatProperties& properties(OutputFormat format) {
  static constexpr std::array<FormatProperties, 8> kTable = {{
      {"aac", "AAC", "m4a", true, 256000},
      {"alac", "ALAC", "m4a", false, 0},
      {"flac", "FLAC", "flac", false, 0},
      {"wav", "WAV", "wav", false, 0},
      {"aiff", "AIFF", "aiff", false, 0},
      {"mp3", "MP3", "mp3", true, 320000},
      {"opus", "Opus", "opus", true, 128000},
      {"vorbis", "Vorbis", "ogg", true, 192000},
  }};
  return kTable[static_cast<std::size_t>(format)];
}

}  // namespace

std::string_view rawValue(OutputFormat format) { return properties(format).raw; }
std::string_view displayName(OutputFormat format) { return properties(format).displayName; }
std::string_view fileExtension(OutputFormat format) { return properties(format).extension; }
bool isLossy(OutputFormat format) { return properties(format).lossy; }
std::int64_t defaultBitrate(OutputFormat format) { return properties(format).defaultBitrate; }

std::optional<OutputFormat> outputFormatFromRaw(std::string_view raw) {
  for (OutputFormat format : kAllOutputFormats) {
    if (rawValue(format) == raw) return format;
  }
  return std::nullopt;
}

std::vector<OutputFormat> orderedByRawValue(const std::set<OutputFormat>& formats) {
  std::vector<OutputFormat> ordered(formats.begin(), formats.end());
  std::sort(ordered.begin(), ordered.end(),
            [](OutputFormat a, OutputFormat b) { return rawValue(a) < rawValue(b); });
  return ordered;
}

}  // namespace vexal
