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
// Sample depth of the PCM and lossless outputs (WAV, AIFF, FLAC, ALAC). formatDefault is
// each format's own (24 bits; ALAC 16 for 16-bit sources), original the source's (16 or
// 24, float for WAV), float32 WAV only (the others take 24).
enum class BitDepth { formatDefault, original, int16, int24, float32 };

inline constexpr std::array<BitrateMode, 2> kAllBitrateModes = {BitrateMode::cbr, BitrateMode::vbr};
inline constexpr std::array<VBRQuality, 5> kAllVBRQualities = {
    VBRQuality::v0, VBRQuality::v2, VBRQuality::v4, VBRQuality::v6, VBRQuality::v8};
inline constexpr std::array<AACStrategy, 4> kAllAACStrategies = {
    AACStrategy::cbr, AACStrategy::vbrLow, AACStrategy::vbrMedium, AACStrategy::vbrHigh};
inline constexpr std::array<NormalizationMode, 4> kAllNormalizationModes = {
    NormalizationMode::off, NormalizationMode::peak, NormalizationMode::rms, NormalizationMode::lufs};
inline constexpr std::array<BitDepth, 5> kAllBitDepths = {BitDepth::formatDefault, BitDepth::original,
                                                          BitDepth::int16, BitDepth::int24, BitDepth::float32};

std::string_view rawValue(BitrateMode mode);
std::string_view rawValue(NormalizationMode mode);
std::string_view rawValue(BitDepth depth);  // "default", "original", "16", "24", "float"
constexpr int rawValue(VBRQuality quality) { return static_cast<int>(quality); }
constexpr int rawValue(AACStrategy strategy) { return static_cast<int>(strategy); }

std::optional<BitrateMode> bitrateModeFromRaw(std::string_view raw);
std::optional<NormalizationMode> normalizationModeFromRaw(std::string_view raw);
std::optional<BitDepth> bitDepthFromRaw(std::string_view raw);
std::optional<VBRQuality> vbrQualityFromRaw(std::int64_t raw);
std::optional<AACStrategy> aacStrategyFromRaw(std::int64_t raw);

// Texts shown in the settings panel.
std::string_view label(BitrateMode mode);
std::string_view label(VBRQuality quality);
std::string_view label(AACStrategy strategy);
std::string_view label(NormalizationMode mode);
std::string_view label(BitDepth depth);
// The unit a normalisation target is given in: "LUFS", "dBFS", "dB"; empty when off.
std::string_view unit(NormalizationMode mode);

}  // namespace vexal
