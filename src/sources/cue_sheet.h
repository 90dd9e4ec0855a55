#pragma once

#include <QString>
#include <cstdint>
#include <expected>
#include <optional>
#include <vector>

namespace vexal {

struct CueTrack {
  std::int64_t number = 0;  // 1 to 99
  std::optional<QString> title;
  std::optional<QString> performer;
  double startTime = 0.0;  // seconds, from INDEX 01
  bool operator==(const CueTrack&) const = default;
};

struct CueSheetError {
  enum class Kind { audioFileNotFound, noFileReference, noTracks, unreadable };
  Kind kind;
  QString detail;  // the file name, or the read error
  QString errorDescription() const;
};

struct CueSheet {
  QString audioFileName;
  std::optional<QString> albumTitle;
  std::optional<QString> albumPerformer;
  std::vector<CueTrack> tracks;  // ascending by number, stable

  // Decodes UTF-8, falling back to Latin-1; audioFileNotFound when the named audio file
  // is not beside the sheet.
  static std::expected<CueSheet, CueSheetError> parseFile(const QString& path);
  static std::expected<CueSheet, CueSheetError> parse(const QString& text);
};

}  // namespace vexal
