#include "model/naming_template.h"

#include <cstdio>

namespace vexal {

namespace {

void replaceAll(std::string& text, std::string_view from, std::string_view to) {
  if (from.empty()) return;
  std::size_t pos = 0;
  while ((pos = text.find(from, pos)) != std::string::npos) {
    text.replace(pos, from.size(), to);
    pos += to.size();
  }
}

std::string trimSet(std::string_view text, std::string_view set) {
  const auto first = text.find_first_not_of(set);
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(set);
  return std::string(text.substr(first, last - first + 1));
}

std::string numberText(const std::optional<std::int64_t>& value) {
  return value ? std::to_string(*value) : std::string();
}

}  // namespace

std::string NamingTemplate::sanitizeComponent(std::string_view text) {
  std::string cleaned;
  cleaned.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case ':': case '/': case '\\': case '?': case '*': case '"': case '<': case '>': case '|':
      case '\0':
        cleaned.push_back('_');
        break;
      default:
        cleaned.push_back(c);
    }
  }
  return trimSet(cleaned, " \t");
}

const std::vector<TemplateChoice>& NamingTemplate::templateChoices() {
  static const std::vector<TemplateChoice> kChoices = {
      {"Original filename", "{filename}"},
      {"Track - Title", "{track} - {title}"},
      {"Artist - Title", "{artist} - {title}"},
      {"Artist / Album / Track - Title", "{artist}/{album}/{track} - {title}"},
  };
  return kChoices;
}

NamingResult NamingTemplate::expand(const std::optional<AudioMetadata>& metadata,
                                    std::string_view baseName,
                                    std::string_view fileExtension) const {
  const AudioMetadata tags = metadata.value_or(AudioMetadata{});
  const std::string base(baseName);
  const std::string artist = tags.artist.value_or(tags.albumArtist.value_or("Unknown Artist"));
  std::string track;
  if (tags.trackNumber) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%02lld", static_cast<long long>(*tags.trackNumber));
    track = buffer;
  }

  // Order matters: text inserted by an earlier placeholder may itself be replaced later.
  std::string text = templateText;
  replaceAll(text, "{filename}", sanitizeComponent(base));
  replaceAll(text, "{title}", sanitizeComponent(tags.title.value_or(base)));
  replaceAll(text, "{artist}", sanitizeComponent(artist));
  replaceAll(text, "{album}", sanitizeComponent(tags.album.value_or("Unknown Album")));
  replaceAll(text, "{albumartist}", sanitizeComponent(tags.albumArtist.value_or(artist)));
  replaceAll(text, "{track}", track);
  replaceAll(text, "{disc}", numberText(tags.discNumber));
  replaceAll(text, "{genre}", sanitizeComponent(tags.genre.value_or("")));
  replaceAll(text, "{year}", numberText(tags.year));
  replaceAll(text, "{ext}", fileExtension);

  // Separators left behind by empty values.
  replaceAll(text, " - .", ".");
  replaceAll(text, "- .", ".");
  replaceAll(text, " -.", ".");
  while (text.find("//") != std::string::npos) replaceAll(text, "//", "/");
  text = trimSet(text, "/ -");
  if (text.empty()) text = sanitizeComponent(base);

  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (start <= text.size()) {
    const auto slash = text.find('/', start);
    const auto end = slash == std::string::npos ? text.size() : slash;
    if (end > start) pieces.emplace_back(text.substr(start, end - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  if (pieces.size() < 2) return NamingResult{std::nullopt, text};

  std::string subdirectory = pieces.front();
  for (std::size_t i = 1; i + 1 < pieces.size(); ++i) subdirectory += "/" + pieces[i];
  return NamingResult{subdirectory, pieces.back()};
}

}  // namespace vexal
