#include "model/conversion_settings.h"

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

}  // namespace vexal
