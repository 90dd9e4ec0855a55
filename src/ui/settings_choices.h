#pragma once

#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

#include "model/conversion_settings.h"
#include "model/output_format.h"

namespace vexal::ui {

// The values the sidebar and the settings sheet offer for each setting, with their
// texts. An absent value is the "Default" / "Original" / "Auto" entry.
template <typename T>
struct Choice {
  QString text;
  std::optional<T> value;
};

// Opus and Vorbis have lists of their own; AAC and MP3 share the generic list. Each
// "Default (N kbps)" shows that format's own default.
std::vector<Choice<std::int64_t>> bitrateChoices(OutputFormat format);
// "Default" or "192 kbps": the label of the bitrate menu of `format`.
QString bitrateMenuLabel(const ConversionSettings& settings, OutputFormat format);
std::vector<Choice<double>> sampleRateChoices();
// "Original" (no custom channel count), "Mono", "Stereo": one wording in the sidebar and
// the settings sheet, like the sample rate's "Original".
std::vector<Choice<std::uint32_t>> channelChoices();
// Target presets of a normalisation mode, e.g. "-14 Streaming" for LUFS.
std::vector<Choice<double>> normalizationTargetPresets(NormalizationMode mode);
// "LUFS", "dBFS", "dB"; empty when off.
QString normalizationUnit(NormalizationMode mode);

QString qs(std::string_view text);

}  // namespace vexal::ui
