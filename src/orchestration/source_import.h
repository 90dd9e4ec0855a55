#pragma once

// The import pass shared by drops, dialogs and the command line: which files of the given
// paths become jobs, in which order, and where each lies in the library.

#include <QString>
#include <QStringList>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vexal {

// One step of an import, in the order of the paths given: a group of audio files sharing
// an output sub-folder, or one cue sheet (whose tracks go under `subfolder` when set).
struct ImportItem {
  QStringList files;
  std::optional<QString> subfolder;
  QString cueSheet;  // non-empty: this item is a cue sheet
};

// What a folder walk leaves out, so that a mirror never feeds on itself: the destination
// folder when it lies inside a folder walked, and the files its index records.
struct ImportExclusions {
  std::filesystem::path destination;  // empty: none
  // Given a file's path relative to the destination (for files below it).
  std::function<bool(const std::string& relative)> isRecordedOutput;
};

struct ImportWalk {
  std::vector<ImportItem> items;
  // What was left out and why: a missing path, a FIFO, a device, a folder that could not
  // be read, a folder named like audio holding none (paths as given, or below them).
  std::vector<std::pair<QString, QString>> skipped;
  // The folders given (absolute, normalised): library paths are taken below their parents.
  std::vector<std::filesystem::path> folders;
};

// Cue sheets are imported, folders walked (keeping their inner structure; a folder
// holding cue sheets contributes those instead of its audio), other files kept when their
// extension is accepted. Hidden files and linked folders are not entered.
ImportWalk walkImport(const QStringList& paths, const ImportExclusions& exclusions);

// A source's library path: relative to the parent of the innermost folder of `folders`
// holding it, else its file name; "Album/CD1/01.flac".
std::string libraryPathOf(const std::filesystem::path& source,
                          const std::vector<std::filesystem::path>& folders,
                          std::filesystem::path* base = nullptr);

}  // namespace vexal
