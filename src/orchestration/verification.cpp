#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "orchestration/verification.h"

namespace vexal {

VerificationResult verifyOutput(const std::filesystem::path& url, std::stop_token stop) {
  return decodeOutput(url, stop, false);
}

std::optional<std::string> verificationFailure(const VerificationResult& decoded,
                                               const ConversionTally& encoded) {
  if (!decoded.decodable) return "output is not decodable";
  if (encoded.sampleRate <= 0 || decoded.sampleRate <= 0) return std::nullopt;
  // Every codec here restores the exact length (delay and padding are trimmed on
  // decode); an output at another rate than was encoded (Opus stores 48 kHz) may
  // round to the nearest frame.
  const double scale = decoded.sampleRate / encoded.sampleRate;
  const std::int64_t expected = std::llround(static_cast<double>(encoded.frames) * scale);
  const std::int64_t tolerance = scale == 1.0 ? 0 : static_cast<std::int64_t>(std::ceil(scale));
  if (std::llabs(decoded.frames - expected) > tolerance) {
    char text[96];
    std::snprintf(text, sizeof text, "decoded %.2f s of %.2f s",
                  static_cast<double>(decoded.frames) / decoded.sampleRate,
                  static_cast<double>(encoded.frames) / encoded.sampleRate);
    return std::string(text);
  }
  if (decoded.damaged) return "output is damaged";
  if (encoded.checksum && *encoded.checksum != decoded.checksum) {
    return "audio differs from the source";
  }
  return std::nullopt;
}

}  // namespace vexal
