#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

namespace vexal {

// Declaration order is the order in which formats are listed to the user.
enum class OutputFormat { aac, alac, flac, wav, aiff, mp3, opus, vorbis };

inline constexpr std::array<OutputFormat, 8> kAllOutputFormats = {
    OutputFormat::aac, OutputFormat::alac, OutputFormat::flac,  OutputFormat::wav,
    OutputFormat::aiff, OutputFormat::mp3, OutputFormat::opus, OutputFormat::vorbis};

std::string_view rawValue(OutputFormat format);
std::optional<OutputFormat> outputFormatFromRaw(std::string_view raw);
std::string_view displayName(OutputFormat format);
std::string_view fileExtension(OutputFormat format);
bool isLossy(OutputFormat format);
// Bits per second; 0 for lossless formats, where no bitrate applies.
std::int64_t defaultBitrate(OutputFormat format);

// Formats ordered ascending by raw value (aac, aiff, alac, flac, mp3, opus, vorbis, wav):
// the order in which a job's outputs are planned and converted.
std::vector<OutputFormat> orderedByRawValue(const std::set<OutputFormat>& formats);

}  // namespace vexal
