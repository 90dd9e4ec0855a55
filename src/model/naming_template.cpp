#include "model/naming_template.h"

#include <cstdio>
#include <initializer_list>
#include <utility>

namespace vexal {

namespace {

std::string trimSet(std::string_view text, std::string_view set) {
  const auto first = text.find_first_not_of(set);
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(set);
  return std::string(text.substr(first, last - first + 1));
}

std::string numberText(const std::optional<std::int64_t>& value) {
  return value ? std::to_string(*value) : std::string();
}

// Bytes of a UTF-8 character that would steer a terminal or reorder text: C1 controls
// (U+0080-U+009F) and the bidirectional embeddings, overrides and isolates
// (U+202A-U+202E, U+2066-U+2069). 0 when `text` does not start with one.
std::size_t steeringCharacterBytes(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  if (text.size() >= 2 && byte(0) == 0xC2 && byte(1) >= 0x80 && byte(1) <= 0x9F) return 2;
  if (text.size() >= 3 && byte(0) == 0xE2) {
    if (byte(1) == 0x80 && byte(2) >= 0xAA && byte(2) <= 0xAE) return 3;
    if (byte(1) == 0x81 && byte(2) >= 0xA6 && byte(2) <= 0xA9) return 3;
  }
  return 0;
}

// Control characters go (line breaks and tabs become blanks so words stay apart),
// forbidden characters become "_" when `portable`; other bytes, invalid UTF-8 included,
// stay.
std::string cleanCharacters(std::string_view text, bool portable) {
  std::string cleaned;
  cleaned.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    if (const std::size_t skip = steeringCharacterBytes(text.substr(i)); skip > 0) {
      i += skip;
      continue;
    }
    const char c = text[i++];
    switch (c) {
      case ':': case '/': case '\\': case '?': case '*': case '"': case '<': case '>': case '|':
        cleaned.push_back(portable || c == '/' ? '_' : c);
        break;
      case '\t': case '\n': case '\v': case '\f': case '\r':
        cleaned.push_back(' ');
        break;
      default:
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) cleaned.push_back(c);
    }
  }
  return cleaned;
}

constexpr std::string_view kBlanks = " ";
// What a template puts between fields; left alone beside an empty field it is dropped.
constexpr std::string_view kSeparators = " -_.,;~";

bool isSeparator(std::string_view literal) {
  return !literal.empty() && literal.find_first_not_of(kSeparators) == std::string_view::npos;
}

// A piece of one path component of the template: literal text or a field's value.
struct Piece {
  std::string text;
  bool field = false;
};

// Joins a component's pieces; an empty field takes one separator beside it along (the one
// before it, else the one after), and separators left at either end are dropped.
std::string joinComponent(std::vector<Piece> pieces) {
  for (std::size_t i = 0; i < pieces.size();) {
    if (!pieces[i].field || !pieces[i].text.empty()) {
      ++i;
      continue;
    }
    pieces.erase(pieces.begin() + static_cast<std::ptrdiff_t>(i));
    if (i > 0 && !pieces[i - 1].field && isSeparator(pieces[i - 1].text)) {
      pieces.erase(pieces.begin() + static_cast<std::ptrdiff_t>(--i));
    } else if (i < pieces.size() && !pieces[i].field && isSeparator(pieces[i].text)) {
      pieces.erase(pieces.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
  while (!pieces.empty() && !pieces.front().field && isSeparator(pieces.front().text)) pieces.erase(pieces.begin());
  while (!pieces.empty() && !pieces.back().field && isSeparator(pieces.back().text)) pieces.pop_back();
  std::string text;
  for (const Piece& piece : pieces) text += piece.text;
  return NamingTemplate::sanitizeComponent(text);
}

}  // namespace

namespace {

std::string cleanComponent(std::string_view text, bool portable) {
  std::string cleaned = cleanCharacters(text, portable);
  // A leading dot would hide the file or folder; a leading dash reads as an option.
  const auto start = cleaned.find_first_not_of(" .-");
  return start == std::string::npos ? std::string() : trimSet(std::string_view(cleaned).substr(start), kBlanks);
}

}  // namespace

std::string NamingTemplate::sanitizeComponent(std::string_view text) { return cleanComponent(text, true); }

std::string NamingTemplate::cleanName(std::string_view text) { return cleanComponent(text, false); }

const std::vector<TemplateChoice>& NamingTemplate::templateChoices() {
  static const std::vector<TemplateChoice> kChoices = {
      {"Original filename", "{filename}"},
      {"Track - Title", "{track} - {title}"},
      {"Artist - Title", "{artist} - {title}"},
      {"Artist / Album / Track - Title", "{artist}/{album}/{track} - {title}"},
      {"Format / Artist / Album / Track - Title", "{format}/{artist}/{album}/{track} - {title}"},
  };
  return kChoices;
}

NamingResult NamingTemplate::expand(const std::optional<AudioMetadata>& metadata,
                                    std::string_view baseName, std::string_view fileExtension,
                                    std::string_view formatName) const {
  const AudioMetadata tags = metadata.value_or(AudioMetadata{});
  const std::string base(baseName);
  // A tag that cleans down to nothing counts as missing.
  const auto named = [](std::initializer_list<const std::optional<std::string>*> tags, std::string_view fallback) {
    for (const auto* tag : tags) {
      if (!*tag) continue;
      if (std::string cleaned = sanitizeComponent(**tag); !cleaned.empty()) return cleaned;
    }
    return sanitizeComponent(fallback);
  };
  const std::string artist = named({&tags.artist, &tags.albumArtist}, "Unknown Artist");
  std::string track;
  if (tags.trackNumber) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%02lld", static_cast<long long>(*tags.trackNumber));
    track = buffer;
  }

  const std::pair<std::string_view, std::string> fields[] = {
      {"filename", sanitizeComponent(base)},
      {"title", named({&tags.title}, base)},
      {"artist", artist},
      {"album", named({&tags.album}, "Unknown Album")},
      {"albumartist", named({&tags.albumArtist}, artist)},
      {"track", track},
      {"disc", numberText(tags.discNumber)},
      {"genre", sanitizeComponent(tags.genre.value_or(""))},
      {"year", numberText(tags.year)},
      {"ext", sanitizeComponent(fileExtension)},
      {"format", sanitizeComponent(formatName)},
  };

  // Values are inserted once, never scanned for placeholders themselves, and a "/" only
  // in the template text starts a new folder.
  std::vector<std::string> components;
  std::vector<Piece> pieces;
  const std::string_view text = templateText;
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] == '/') {
      if (std::string component = joinComponent(std::move(pieces)); !component.empty()) {
        components.push_back(std::move(component));
      }
      pieces.clear();
      ++i;
      continue;
    }
    bool matched = false;
    if (text[i] == '{') {
      for (const auto& [name, value] : fields) {
        if (text.substr(i + 1, name.size()) == name && text.substr(i + 1 + name.size(), 1) == "}") {
          pieces.push_back({value, true});
          i += name.size() + 2;
          matched = true;
          break;
        }
      }
    }
    if (!matched) {
      if (pieces.empty() || pieces.back().field) pieces.push_back({});
      pieces.back().text.push_back(text[i++]);
    }
  }
  if (std::string component = joinComponent(std::move(pieces)); !component.empty()) {
    components.push_back(std::move(component));
  }
  if (components.empty()) {
    std::string fallback = sanitizeComponent(base);
    return NamingResult{std::nullopt, fallback.empty() ? std::string("Untitled") : fallback};
  }
  if (components.size() < 2) return NamingResult{std::nullopt, components.front()};

  std::string subdirectory = components.front();
  for (std::size_t i = 1; i + 1 < components.size(); ++i) subdirectory += "/" + components[i];
  return NamingResult{subdirectory, components.back()};
}

}  // namespace vexal
