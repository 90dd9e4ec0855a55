#include "model/options.h"

namespace vexal {

std::string_view rawValue(BitrateMode mode) { return mode == BitrateMode::vbr ? "vbr" : "cbr"; }

std::string_view rawValue(NormalizationMode mode) {
  switch (mode) {
    case NormalizationMode::off: return "off";
    case NormalizationMode::peak: return "peak";
    case NormalizationMode::rms: return "rms";
    case NormalizationMode::lufs: return "lufs";
  }
  return "off";
}

std::string_view rawValue(BitDepth depth) {
  switch (depth) {
    case BitDepth::formatDefault: return "default";
    case BitDepth::original: return "original";
    case BitDepth::int16: return "16";
    case BitDepth::int24: return "24";
    case BitDepth::float32: return "float";
  }
  return "default";
}

std::optional<BitDepth> bitDepthFromRaw(std::string_view raw) {
  for (BitDepth depth : kAllBitDepths) {
    if (rawValue(depth) == raw) return depth;
  }
  return std::nullopt;
}

std::optional<BitrateMode> bitrateModeFromRaw(std::string_view raw) {
  for (BitrateMode mode : kAllBitrateModes) {
    if (rawValue(mode) == raw) return mode;
  }
  return std::nullopt;
}

std::optional<NormalizationMode> normalizationModeFromRaw(std::string_view raw) {
  for (NormalizationMode mode : kAllNormalizationModes) {
    if (rawValue(mode) == raw) return mode;
  }
  return std::nullopt;
}

std::optional<VBRQuality> vbrQualityFromRaw(std::int64_t raw) {
  for (VBRQuality quality : kAllVBRQualities) {
    if (rawValue(quality) == raw) return quality;
  }
  return std::nullopt;
}

std::optional<AACStrategy> aacStrategyFromRaw(std::int64_t raw) {
  for (AACStrategy strategy : kAllAACStrategies) {
    if (rawValue(strategy) == raw) return strategy;
  }
  return std::nullopt;
}

std::string_view label(BitrateMode mode) { return mode == BitrateMode::vbr ? "VBR" : "CBR"; }

std::string_view label(VBRQuality quality) {
  switch (quality) {
    case VBRQuality::v0: return "V0 (~245 kbps)";
    case VBRQuality::v2: return "V2 (~190 kbps)";
    case VBRQuality::v4: return "V4 (~165 kbps)";
    case VBRQuality::v6: return "V6 (~130 kbps)";
    case VBRQuality::v8: return "V8 (~85 kbps)";
  }
  return "";
}

std::string_view label(AACStrategy strategy) {
  switch (strategy) {
    case AACStrategy::cbr: return "CBR";
    case AACStrategy::vbrLow: return "VBR Low (~96 kbps)";
    case AACStrategy::vbrMedium: return "VBR Medium (~128 kbps)";
    case AACStrategy::vbrHigh: return "VBR High (~192 kbps)";
  }
  return "";
}

std::string_view label(NormalizationMode mode) {
  switch (mode) {
    case NormalizationMode::off: return "Off";
    case NormalizationMode::peak: return "Peak";
    case NormalizationMode::rms: return "RMS";
    case NormalizationMode::lufs: return "LUFS (EBU R128)";
  }
  return "";
}

std::string_view label(BitDepth depth) {
  switch (depth) {
    case BitDepth::formatDefault: return "Default";
    case BitDepth::original: return "Original";
    case BitDepth::int16: return "16-bit";
    case BitDepth::int24: return "24-bit";
    case BitDepth::float32: return "32-bit float (WAV)";
  }
  return "";
}

std::string_view unit(NormalizationMode mode) {
  switch (mode) {
    case NormalizationMode::lufs: return "LUFS";
    case NormalizationMode::peak: return "dBFS";
    case NormalizationMode::rms: return "dB";
    case NormalizationMode::off: return "";
  }
  return "";
}

}  // namespace vexal
