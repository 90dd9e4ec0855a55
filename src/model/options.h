#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace vexal {

enum class BitrateMode { cbr, vbr };
enum class VBRQuality { v0 = 0, v2 = 2, v4 = 4, v6 = 6, v8 = 8 };
enum class AACStrategy { cbr = 0, vbrLow = 1, vbrMedium = 2, vbrHigh = 3 };
enum class NormalizationMode { off, peak, rms, lufs };

inline constexpr std::array<BitrateMode, 2> kAllBitrateModes = {BitrateMode::cbr, BitrateMode::vbr};
inline constexpr std::array<VBRQuality, 5> kAllVBRQualities = {
    VBRQuality::v0, VBRQuality::v2, VBRQuality::v4, VBRQuality::v6, VBRQuality::v8};
inline constexpr std::array<AACStrategy, 4> kAllAACStrategies = {
    AACStrategy::cbr, AACStrategy::vbrLow, AACStrategy::vbrMedium, AACStrategy::vbrHigh};
inline constexpr std::array<NormalizationMode, 4> kAllNormalizationModes = {
    NormalizationMode::off, NormalizationMode::peak, NormalizationMode::rms, NormalizationMode::lufs};

std::string_view rawValue(BitrateMode mode);
std::string_view rawValue(NormalizationMode mode);
constexpr int rawValue(VBRQuality quality) { return static_cast<int>(quality); }
constexpr int rawValue(AACStrategy strategy) { return static_cast<int>(strategy); }

std::optional<BitrateMode> bitrateModeFromRaw(std::string_view raw);
std::optional<NormalizationMode> normalizationModeFromRaw(std::string_view raw);
std::optional<VBRQuality> vbrQualityFromRaw(std::int64_t raw);
std::optional<AACStrategy> aacStrategyFromRaw(std::int64_t raw);

// Texts shown in the settings panel.
std::string_view label(BitrateMode mode);
std::string_view label(VBRQuality quality);
std::string_view label(AACStrategy strategy);
std::string_view label(NormalizationMode mode);

}  // namespace vexal
