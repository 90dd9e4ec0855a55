#pragma once

#include <QString>
#include <cstdint>
#include <expected>
#include <optional>
#include <set>
#include <vector>

namespace vexal {

struct CueTrack {
  std::int64_t number = 0;  // 1 to 99
  std::optional<QString> title;
  std::optional<QString> performer;
  double startTime = 0.0;  // seconds into its file, from INDEX 01
  std::size_t file = 0;    // index into CueSheet::files: the FILE in effect at its INDEX 01
  bool operator==(const CueTrack&) const = default;
};

struct CueFile {
  QString name;  // as written on the FILE line
  QString path;  // the audio file found for it; set by parseFile for files with tracks
  bool operator==(const CueFile&) const = default;
};

struct CueSheetError {
  enum class Kind { audioFileNotFound, noFileReference, noTracks, unreadable };
  Kind kind;
  QString detail;  // the file name, or the read error
  QString errorDescription() const;
};

struct CueSheet {
  std::vector<CueFile> files;  // in sheet order
  std::optional<QString> albumTitle;
  std::optional<QString> albumPerformer;
  std::optional<QString> genre;            // REM GENRE
  std::optional<QString> date;             // REM DATE, as written ("2004", "2004-05-17")
  std::optional<std::int64_t> discNumber;  // REM DISCNUMBER
  std::vector<CueTrack> tracks;            // ascending by number, stable

  // Decodes UTF-8, falling back to Latin-1, and finds each FILE with tracks beside the
  // sheet: as written, or else the one file of the same stem whose extension (compared
  // in lower case) is in `audioExtensions`; audioFileNotFound when there is none or
  // several.
  static std::expected<CueSheet, CueSheetError> parseFile(const QString& path,
                                                          const std::set<QString>& audioExtensions = {});
  static std::expected<CueSheet, CueSheetError> parse(const QString& text);
};

}  // namespace vexal
