#include "model/conversion_error.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <system_error>

namespace vexal {

namespace {

// Statuses from -1 to -4095 are negated errno values (the kernel's and FFmpeg's
// convention); their words say what the system refused.
constexpr std::int32_t kMaxErrno = 4095;

std::string statusWords(std::int32_t status) {
  if (status >= 0 || status < -kMaxErrno) return {};
  return std::generic_category().message(-status);
}

}  // namespace

ConversionError ConversionError::fileNotReadable(std::filesystem::path file) {
  return ConversionError(Kind::fileNotReadable, file.filename().string());
}

ConversionError ConversionError::unsupportedFormat(std::string message) {
  return ConversionError(Kind::unsupportedFormat, std::move(message));
}

ConversionError ConversionError::sourceDamaged(double decodedSeconds, double declaredSeconds) {
  // Tenths of a second; what decoded is rounded down, so a file a little short never
  // reads as whole.
  const auto tenths = [](double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", std::max(value, 0.0));
    return std::string(text);
  };
  std::string text = "decoded " + tenths(std::floor(decodedSeconds * 10.0) / 10.0);
  text += declaredSeconds > decodedSeconds ? " of " + tenths(declaredSeconds) : " before an error";
  return ConversionError(Kind::sourceDamaged, std::move(text));
}

ConversionError ConversionError::extAudioFileError(std::string step, std::int32_t status) {
  return ConversionError(Kind::extAudioFileError, std::move(step), status);
}

ConversionError ConversionError::labelled(std::string label) const {
  ConversionError copy = *this;
  copy.label_ = std::move(label);
  return copy;
}

std::string ConversionError::errorDescription() const {
  if (!label_.empty()) {
    return label_ + ": " + ConversionError(kind_, text_, status_).errorDescription();
  }
  switch (kind_) {
    case Kind::fileNotReadable: return "Cannot read file: " + text_;
    case Kind::unsupportedFormat: return "Unsupported format: " + text_;
    case Kind::extAudioFileError: {
      const std::string words = statusWords(status_);
      return text_ + " failed (OSStatus " + std::to_string(status_) +
             (words.empty() ? "" : ": " + words) + ")";
    }
    case Kind::lameInitFailed: return "Failed to initialize MP3 encoder";
    case Kind::lameEncodingFailed: return "MP3 encoding failed";
    case Kind::cancelled: return "Cancelled";
    case Kind::outputDirectoryNotWritable: return "Output directory is not writable";
    case Kind::sourceDamaged: return "Source is damaged: " + text_;
  }
  return {};
}

}  // namespace vexal
