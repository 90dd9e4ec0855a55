#include "model/decimal.h"

#include <charconv>

namespace vexal {

std::optional<std::int64_t> parseDecimalInteger(std::string_view text) {
  const bool plus = !text.empty() && text.front() == '+';
  if (plus) text.remove_prefix(1);
  // from_chars takes a minus but no plus; "+-5" is not a number.
  if (text.empty() || (plus && text.front() == '-')) return std::nullopt;
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace vexal
