#include "model/conversion_settings.h"

namespace vexal {

OutputFormat ConversionSettings::primaryFormat() const {
  const auto ordered = orderedByRawValue(enabledFormats);
  return ordered.empty() ? OutputFormat::aac : ordered.front();
}

std::int64_t ConversionSettings::effectiveBitrate() const {
  return customBitrate ? *customBitrate : defaultBitrate(primaryFormat());
}

std::int64_t ConversionSettings::bitrateFor(OutputFormat format) const {
  return customBitrate ? *customBitrate : defaultBitrate(format);
}

}  // namespace vexal
