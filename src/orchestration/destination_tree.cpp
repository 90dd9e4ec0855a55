#include "orchestration/destination_tree.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "persistence/library_index.h"

namespace vexal {

namespace {

namespace fs = std::filesystem;

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The components of a plain relative path.
std::vector<std::string> componentsOf(std::string_view relative) {
  std::vector<std::string> parts;
  for (std::size_t start = 0;;) {
    const auto slash = relative.find('/', start);
    parts.emplace_back(relative.substr(start, slash == std::string_view::npos ? relative.npos : slash - start));
    if (slash == std::string_view::npos) return parts;
    start = slash + 1;
  }
}

}  // namespace

void UniqueFd::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

DestinationTree::DestinationTree(fs::path root)
    : root_(std::move(root)), rootFd_(::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}

std::optional<std::string> DestinationTree::relativeOf(const fs::path& absolute) const {
  const std::string& text = absolute.native();
  std::string prefix = root_.native();
  if (!prefix.ends_with('/')) prefix += '/';
  if (!text.starts_with(prefix)) return std::nullopt;
  std::string relative = text.substr(prefix.size());
  if (!isPlainRelativePath(relative)) return std::nullopt;
  return relative;
}

std::expected<UniqueFd, int> DestinationTree::openParent(std::string_view relative) const {
  if (!rootFd_) return std::unexpected(EBADF);
  if (!isPlainRelativePath(relative)) return std::unexpected(EINVAL);
  const std::vector<std::string> parts = componentsOf(relative);
  UniqueFd folder(::dup(rootFd_.get()));
  if (!folder) return std::unexpected(errno);
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    // O_NOFOLLOW | O_DIRECTORY: a link fails (ELOOP), and so does anything but a folder.
    UniqueFd next(::openat(folder.get(), parts[i].c_str(), kFolderFlags));
    if (!next) return std::unexpected(errno);
    folder = std::move(next);
  }
  return folder;
}

std::expected<struct stat, int> DestinationTree::status(std::string_view relative) const {
  auto folder = openParent(relative);
  if (!folder) return std::unexpected(folder.error());
  struct stat info {};
  const std::string name = componentsOf(relative).back();
  if (::fstatat(folder->get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
    return std::unexpected(errno);
  return info;
}

std::string DestinationTree::procPath(int folder, const std::string& name) {
  return "/proc/self/fd/" + std::to_string(folder) + "/" + name;
}

int DestinationTree::removeFile(std::string_view relative, const Check& check) const {
  auto folder = openParent(relative);
  if (!folder) return folder.error();
  const std::string name = componentsOf(relative).back();
  struct stat info {};
  if (::fstatat(folder->get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (!S_ISREG(info.st_mode) || !check(folder->get(), name, info)) return EPERM;
  return ::unlinkat(folder->get(), name.c_str(), 0) == 0 ? 0 : errno;
}

int DestinationTree::replaceFile(const std::string& temporary, std::string_view relative,
                                 const Check& check) const {
  auto folder = openParent(relative);
  if (!folder) return folder.error();
  const std::string name = componentsOf(relative).back();
  struct stat info {};
  if (::fstatat(folder->get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!S_ISREG(info.st_mode) || !check(folder->get(), name, info)) return EPERM;
  } else if (errno != ENOENT) {
    return errno;
  }
  if (::renameat(folder->get(), temporary.c_str(), folder->get(), name.c_str()) != 0) return errno;
  // The new name is durable only once the folder is; some file systems refuse this.
  ::fsync(folder->get());
  return 0;
}

void DestinationTree::removeEmptyFolders(std::string_view relative) const {
  if (!isPlainRelativePath(relative)) return;
  std::vector<std::string> parts = componentsOf(relative);
  parts.pop_back();  // the file itself
  while (!parts.empty()) {
    std::string folder;
    for (const std::string& part : parts) folder += (folder.empty() ? "" : "/") + part;
    auto parent = openParent(folder);
    if (!parent) return;
    // Fails unless empty; a link is not a folder to rmdir (ENOTDIR).
    if (::unlinkat(parent->get(), parts.back().c_str(), AT_REMOVEDIR) != 0) return;
    parts.pop_back();
  }
}

}  // namespace vexal
