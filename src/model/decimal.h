#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vexal {

// Plain decimal: an optional sign, then ASCII digits, nothing else (no blanks);
// nothing on overflow. Tag numbers, cue-sheet fields and years all read this way.
std::optional<std::int64_t> parseDecimalInteger(std::string_view text);

}  // namespace vexal
