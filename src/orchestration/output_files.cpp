// Outputs on disk: each is written under a hidden temporary beside its planned name and
// moved into place only once finished, so a killed process never leaves a partial file
// under a real name; leftovers of such a run are swept at the next batch.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

#include "model/uuid.h"
#include "orchestration/converter_view_model.h"

namespace vexal {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kMetaPrefix = ".vexal-meta-";  // the tag writers' copies
// Folders a batch holds at once; each costs a descriptor for the batch's lifetime.
constexpr std::size_t kMaxHeldFolders = 64;

// "Song (2)" -> {"Song", 2}; any other name -> {name, 0}.
std::pair<std::string, std::int64_t> splitSuffix(std::string name) {
  const auto open = name.rfind(" (");
  if (open == std::string::npos || !name.ends_with(')')) return {name, 0};
  const std::string digits = name.substr(open + 2, name.size() - open - 3);
  if (digits.empty() || digits.size() >= 10 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return {name, 0};
  }
  const std::int64_t n = std::stoll(digits);
  name.resize(open);
  return {name, n};
}

// 0 or the errno of opening or syncing `path` (a file, or a folder with O_DIRECTORY).
int syncPath(const fs::path& path, int flags) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | flags);
  if (fd < 0) return errno;
  const int result = ::fsync(fd) == 0 ? 0 : errno;
  ::close(fd);
  return result;
}

void sweepTemporaries(const fs::path& folder) {
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (!name.starts_with(kPartPrefix) && !name.starts_with(kMetaPrefix)) continue;
    std::error_code typeError;
    if (it->symlink_status(typeError).type() != fs::file_type::regular) continue;
    ::unlink(it->path().c_str());
  }
}

}  // namespace

int renameNoReplace(const fs::path& from, const fs::path& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return errno;
  // File systems without the flag (NFS, some FUSE): a hard link refuses a taken name too.
  if (::link(from.c_str(), to.c_str()) == 0) {
    ::unlink(from.c_str());
    return 0;
  }
  if (errno == EEXIST || (errno != EPERM && errno != ENOTSUP)) return errno;
  // Neither (FAT over FUSE, say): claim the name exclusively, then replace only that claim.
  const int fd = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  ::close(fd);
  if (::rename(from.c_str(), to.c_str()) == 0) return 0;
  const int error = errno;
  ::unlink(to.c_str());
  return error;
}

fs::path createPartFile(const fs::path& planned) {
  for (;;) {
    const fs::path part =
        planned.parent_path() /
        (std::string(kPartPrefix) + Uuid::random().toString() + planned.extension().string());
    const int fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      ::close(fd);
      return part;
    }
    // A folder that refuses the file fails the conversion into it, with the engine's error.
    if (errno != EEXIST) return part;
  }
}

Expected<fs::path> commitPart(const fs::path& part, const fs::path& planned) {
  if (const int error = syncPath(part, 0); error != 0) {
    return Unexpected(ConversionError::extAudioFileError("Flush output", -error));
  }
  const fs::path folder = planned.parent_path();
  auto [name, n] = splitSuffix(planned.stem().string());
  std::string extension = planned.extension().string();
  if (!extension.empty()) extension.erase(0, 1);  // without the dot
  for (;; ++n) {
    const fs::path candidate = numberedPath(folder, name, extension, n);
    const int error = renameNoReplace(part, candidate);
    if (error == EEXIST) continue;
    if (error != 0) return Unexpected(ConversionError::extAudioFileError("Move output", -error));
    // The new name is durable only once the folder is; some file systems refuse this.
    syncPath(folder, O_DIRECTORY);
    return candidate;
  }
}

DestinationFolders::DestinationFolders(std::vector<fs::path> folders) {
  std::ranges::sort(folders);
  const auto [first, last] = std::ranges::unique(folders);
  folders.erase(first, last);
  for (const fs::path& folder : folders) {
    if (held_.size() == kMaxHeldFolders) break;
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) continue;
    // Exclusive only when no batch of any process writes here, so only dead runs' files go.
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) sweepTemporaries(folder);
    // Shared from now on (a conversion of the exclusive lock); a sweep by another
    // batch ends in milliseconds.
    ::flock(fd, LOCK_SH);
    held_.push_back(fd);
  }
}

DestinationFolders::~DestinationFolders() {
  for (const int fd : held_) ::close(fd);
}

void removeEmptyFolders(std::vector<fs::path> folders) {
  // Deepest first, so a parent is empty once its created children are gone.
  std::ranges::sort(folders, std::ranges::greater{},
                    [](const fs::path& path) { return path.native().size(); });
  for (const fs::path& folder : folders) ::rmdir(folder.c_str());  // fails unless empty
}

}  // namespace vexal
