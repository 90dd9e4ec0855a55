#pragma once

// Outputs on disk: each is written under a hidden temporary beside its planned name and
// moved into place only once finished, so a killed process never leaves a partial file
// under a real name; leftovers of such a run are swept when a later batch writes there.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "model/conversion_error.h"
#include "orchestration/destination_tree.h"

namespace vexal {

inline constexpr std::string_view kPartPrefix = ".vexal-part-";
inline constexpr std::string_view kMetaPrefix = ".vexal-meta-";  // the tag writers' copies

// `folder`/`name`, with " (n)" when n > 0, then "." and `extension`: the one spelling of
// a name moved aside by a clash, at planning and again at the final rename.
std::filesystem::path numberedPath(const std::filesystem::path& folder, const std::string& name,
                                   std::string_view extension, std::int64_t n);

// A temporary being written: ".vexal-part-<host>-<UUID>" plus the planned extension,
// beside the planned file, created exclusively and locked (flock) for as long as this
// object lives, so that no sweep of any batch removes it meanwhile.
class PartFile {
 public:
  PartFile() = default;
  // When the folder refuses the file the path is still set; writing there then fails
  // with the engine's error.
  explicit PartFile(const std::filesystem::path& planned);
  const std::filesystem::path& path() const { return path_; }
  // Removes the file (when it is still there) and drops the lock.
  void discard();

 private:
  std::filesystem::path path_;
  UniqueFd lock_;
};

// Flushes a finished `part` to disk and renames it to `planned`, or to the next free
// " (n)" name when something appeared there since planning: an existing file is never
// replaced. Returns the name taken.
Expected<std::filesystem::path> commitPart(const std::filesystem::path& part,
                                           const std::filesystem::path& planned);
// Flushes `path` to the disk; the errno, or 0.
int syncFile(const std::filesystem::path& path);

// Renames without ever replacing: 0, EEXIST when `to` is taken, or another errno.
int renameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to);

// Removes the temporaries of dead runs from `folder`: part files whose lock is free (of
// another host: not written to for a day), tag writers' copies older than an hour.
void sweepLeftovers(const std::filesystem::path& folder);

// Removes those of `folders` that are empty, deepest first; others stay.
void removeEmptyFolders(std::vector<std::filesystem::path> folders);

}  // namespace vexal
