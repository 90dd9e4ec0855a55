#include "orchestration/output_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>

#include "model/uuid.h"
#include "persistence/index_journal.h"

namespace vexal {

namespace {

namespace fs = std::filesystem;

// A part file of another host whose lock this host cannot see is left alone until it has
// not been written to for this long; an encoder writes its file every few seconds.
constexpr std::chrono::hours kForeignPartQuiet{24};
// Tag writers' copies live for seconds and hold no lock.
constexpr std::chrono::hours kMetaCopyQuiet{1};

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

std::string hostPrefix() {
  char tag[16];
  std::snprintf(tag, sizeof tag, "%08x-", static_cast<unsigned>(hostTag()));
  return std::string(kPartPrefix) + tag;
}

// ".vexal-part-<host>-<UUID>": the host tag's hyphen is followed by the UUID's eight hex
// digits and its hyphen; a bare UUID has its second hyphen four digits earlier.
bool hasHostTag(const std::string& name) {
  const std::string_view rest = std::string_view(name).substr(kPartPrefix.size());
  return rest.size() > 17 && rest[8] == '-' && rest[13] != '-' && rest[17] == '-';
}

bool quietFor(const struct stat& info, std::chrono::seconds quiet) {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return now - std::chrono::seconds(info.st_mtim.tv_sec) > quiet;
}

}  // namespace

fs::path numberedPath(const fs::path& folder, const std::string& name, std::string_view extension,
                      std::int64_t n) {
  std::string file = name;
  if (n > 0) file += " (" + std::to_string(n) + ")";
  file += ".";
  file += extension;
  return folder / file;
}

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

PartFile::PartFile(const fs::path& planned) {
  for (;;) {
    path_ = planned.parent_path() /
            (hostPrefix() + Uuid::random().toString() + planned.extension().string());
    lock_ = UniqueFd(::open(path_.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (lock_) {
      ::flock(lock_.get(), LOCK_EX | LOCK_NB);  // new, so nobody else holds it
      return;
    }
    if (errno != EEXIST) return;
  }
}

void PartFile::discard() {
  if (!path_.empty()) ::unlink(path_.c_str());
  lock_.reset();
}

int syncFile(const fs::path& path) { return syncPath(path, 0); }

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

void sweepLeftovers(const fs::path& folder) {
  const std::string ownHost = hostPrefix();
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const fs::path& path = it->path();
    const std::string name = path.filename().string();
    const bool part = name.starts_with(kPartPrefix);
    if (!part && !name.starts_with(kMetaPrefix)) continue;
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
    bool dead = false;
    if (!part) {
      dead = quietFor(info, kMetaCopyQuiet);
    } else if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
      // A free lock proves a dead writer only where locks are seen: this host's files
      // (and those named before files carried their host).
      const bool foreign = hasHostTag(name) && !name.starts_with(ownHost);
      dead = !foreign || quietFor(info, kForeignPartQuiet);
    }
    if (dead) ::unlink(path.c_str());
  }
}

void removeEmptyFolders(std::vector<fs::path> folders) {
  // Deepest first, so a parent is empty once its created children are gone.
  std::ranges::sort(folders, std::ranges::greater{},
                    [](const fs::path& path) { return path.native().size(); });
  for (const fs::path& folder : folders) ::rmdir(folder.c_str());  // fails unless empty
}

}  // namespace vexal
