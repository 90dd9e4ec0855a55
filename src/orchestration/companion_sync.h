#pragma once

// Companions of a source folder (cover and folder art, images, booklets, cue sheets and
// rip logs) mirrored beside its outputs like the outputs themselves: recorded in the
// index, brought up to date when the source's copy changes while the destination's is
// still as copied, removed by --delete with their album. A different file already there
// is never replaced.

#include <QString>
#include <filesystem>
#include <string>
#include <vector>

#include "orchestration/library_mirror.h"

namespace vexal {

struct CompanionReport {
  int copied = 0;
  int updated = 0;
  std::vector<std::filesystem::path> conflicts;  // a different file already there
  std::vector<QString> errors;
  std::vector<MirrorAction> actions;
};

// One source folder and where its outputs went.
struct CompanionFolder {
  std::filesystem::path source;
  std::string libraryFolder;  // the source folder's library path
  std::filesystem::path output;
};

bool isCompanionFile(const std::filesystem::path& path);

// Copies (or updates) the companions of each folder through the mirror's store.
CompanionReport syncCompanions(MirrorStore& store, const std::vector<CompanionFolder>& folders);

}  // namespace vexal
