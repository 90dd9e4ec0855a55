#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/audio_metadata.h"

namespace vexal {

struct NamingResult {
  std::optional<std::string> subdirectory;  // components joined by "/", relative to the destination
  std::string fileName;                     // without extension unless the template wrote one
  bool operator==(const NamingResult&) const = default;
};

struct TemplateChoice {
  std::string_view label;
  std::string_view templateText;
};

// Turns tags and a base name into an output name: "{artist}/{album}/{track} - {title}".
struct NamingTemplate {
  static constexpr std::string_view kFilenameOnly = "{filename}";

  std::string templateText{kFilenameOnly};

  // `formatName` ("FLAC", "AAC") and `fileExtension` fill {format} and {ext}, so that
  // formats sharing an extension can go to folders of their own.
  NamingResult expand(const std::optional<AudioMetadata>& metadata, std::string_view baseName,
                      std::string_view fileExtension, std::string_view formatName) const;

  // One file or folder name from any text: the characters no portable name holds
  // (: / \ ? * " < > |) become "_"; control characters (C0, DEL, C1) and bidirectional
  // overrides and isolates are dropped (line breaks and tabs become blanks); no leading
  // blank, dot or dash and no trailing blank. Bytes that are not UTF-8 stay as they are.
  static std::string sanitizeComponent(std::string_view text);
  // The same without the portable-character rule: for names taken as they are (source
  // file names, cue titles), which keep ":" or "?" but lose what would steer a terminal.
  static std::string cleanName(std::string_view text);
  static const std::vector<TemplateChoice>& templateChoices();

  bool operator==(const NamingTemplate&) const = default;
};

}  // namespace vexal
