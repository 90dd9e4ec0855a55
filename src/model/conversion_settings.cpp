#include "model/conversion_settings.h"

#include <cstdio>

namespace vexal {

OutputFormat ConversionSettings::primaryFormat() const {
  const auto ordered = orderedByRawValue(enabledFormats);
  return ordered.empty() ? OutputFormat::aac : ordered.front();
}

std::int64_t ConversionSettings::effectiveBitrate() const { return bitrateFor(primaryFormat()); }

std::int64_t ConversionSettings::bitrateFor(OutputFormat format) const {
  return chosenBitrate(format).value_or(defaultBitrate(format));
}

std::optional<std::int64_t> ConversionSettings::chosenBitrate(OutputFormat format) const {
  if (const auto it = formatBitrates.find(format); it != formatBitrates.end()) return it->second;
  return customBitrate;
}

void ConversionSettings::setBitrate(OutputFormat format, std::optional<std::int64_t> bitsPerSecond) {
  if (customBitrate) {
    for (OutputFormat other : kAllOutputFormats) {
      if (isLossy(other)) formatBitrates.try_emplace(other, *customBitrate);
    }
    customBitrate.reset();
  }
  if (bitsPerSecond) formatBitrates[format] = *bitsPerSecond;
  else formatBitrates.erase(format);
}

std::uint64_t stableHash(std::string_view bytes) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;  // FNV-1a 64 offset basis and prime
  for (const char byte : bytes) {
    hash ^= static_cast<unsigned char>(byte);
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

std::string outputFingerprint(const ConversionSettings& s, OutputFormat format) {
  // Values as text; "%.17g" keeps every double distinct.
  const auto number = [](double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return std::string(text);
  };
  std::string shape = std::string(rawValue(format));
  if (isLossy(format)) shape += ";bitrate=" + std::to_string(s.bitrateFor(format));
  if (format == OutputFormat::mp3) {
    shape += ";mode=" + std::string(rawValue(s.bitrateMode)) +
             ";vbr=" + std::to_string(rawValue(s.vbrQuality));
  }
  if (format == OutputFormat::aac) shape += ";aac=" + std::to_string(rawValue(s.aacStrategy));
  shape += ";rate=" + (s.customSampleRate ? number(*s.customSampleRate) : std::string("-"));
  shape += ";channels=" + (s.customChannels ? std::to_string(*s.customChannels) : std::string("-"));
  // Keys that older indexes do not hold are added only where they change the output, so
  // outputs made before they existed stay up to date.
  if (!isLossy(format) && s.bitDepth != BitDepth::formatDefault) {
    shape += ";depth=" + std::string(rawValue(s.bitDepth));
  }
  shape += ";normalize=" + std::string(rawValue(s.normalizationMode));
  if (s.normalizationMode != NormalizationMode::off) {
    // Normalised outputs made before the ceiling existed may clip: they convert again.
    shape += "@" + number(s.normalizationTarget) + ",ceiling=" + number(s.truePeakCeiling);
    if (s.truePeakLimiter) shape += ",limiter";
  }
  shape += ";trim=" + (s.trimSilence ? number(s.silenceThresholdDB) : std::string("-"));
  shape += ";fades=" + number(s.fadeInSeconds) + "," + number(s.fadeOutSeconds);
  shape += ";replaygain=" + std::to_string(s.writeReplayGain);
  if (s.writeReplayGain && s.albumByFolder) shape += ",albums=folder";
  shape += ";tags=" + std::to_string(s.preserveMetadata);
  // Only when chosen, so outputs made before the cover options existed stay up to date.
  if (s.coverMaxSize) shape += ";cover=" + std::to_string(*s.coverMaxSize);
  if (s.frontCoverOnly) shape += ";frontcover";
  shape += ";template=" + s.namingTemplate.templateText;
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(stableHash(shape)));
  return hex;
}

}  // namespace vexal
