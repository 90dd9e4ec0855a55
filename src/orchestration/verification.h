#pragma once

// Decoding a finished output once more.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>

#include "engine/decoded_output.h"
#include "engine/encode_request.h"

namespace vexal {

// A finished output decoded once more (decodeOutput, without loudness).
using VerificationResult = DecodedOutput;
VerificationResult verifyOutput(const std::filesystem::path& url, std::stop_token stop = {});

// What is wrong with a decoded output against what the conversion encoded ("decoded
// 1.20 s of 1.50 s", "audio differs from the source"); nothing when it matches. A tally
// without a rate (nothing reported) checks decoding only.
std::optional<std::string> verificationFailure(const VerificationResult& decoded,
                                               const ConversionTally& encoded);

}  // namespace vexal
