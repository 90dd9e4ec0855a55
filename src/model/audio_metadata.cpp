#include "model/audio_metadata.h"

#include <algorithm>

#include "model/decimal.h"

namespace vexal {
namespace {

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

std::vector<std::string_view> AudioMetadata::values(std::string_view joined) {
  std::vector<std::string_view> pieces;
  while (true) {
    const auto end = joined.find(kValueSeparator);
    if (const auto piece = joined.substr(0, end); !piece.empty()) pieces.push_back(piece);
    if (end == std::string_view::npos) return pieces;
    joined.remove_prefix(end + kValueSeparator.size());
  }
}

std::optional<std::string> AudioMetadata::dateText() const {
  if (!year) return std::nullopt;
  const std::string yearText = std::to_string(*year);
  if (date && date->size() > yearText.size() && date->starts_with(yearText) &&
      !isDigit((*date)[yearText.size()])) {
    return date;
  }
  return yearText;
}

void AudioMetadata::setDate(std::string_view text) {
  if (text.size() < 4 || !std::all_of(text.begin(), text.begin() + 4, isDigit)) return;
  if (text.size() > 4 && isDigit(text[4])) return;
  year = parseDecimalInteger(text.substr(0, 4));
  if (text.size() > 4) date = std::string(text);
}

}  // namespace vexal
