#pragma once

// What a mirror may do to files in its destination, and nothing outside it. Every path
// is relative to the destination and resolved one folder at a time from the
// destination's own descriptor without following symbolic links (O_NOFOLLOW), so an
// index entry with "..", an absolute path, or a folder swapped for a link can never make
// Vexal remove or replace a file elsewhere. Only regular files are removed or replaced.

#include <sys/stat.h>

#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace vexal {

// An open file descriptor, closed with its owner.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void reset();

 private:
  int fd_ = -1;
};

class DestinationTree {
 public:
  // The destination itself may be reached through links (the user chose it); nothing
  // below it is.
  explicit DestinationTree(std::filesystem::path root);

  const std::filesystem::path& root() const { return root_; }
  bool isOpen() const { return static_cast<bool>(rootFd_); }
  // `absolute` below the root, as a plain relative path; nothing when it is not below it.
  std::optional<std::string> relativeOf(const std::filesystem::path& absolute) const;
  std::filesystem::path absoluteOf(std::string_view relative) const { return root_ / relative; }

  // The folder holding `relative`'s last component, opened beneath the root; the errno
  // on failure (ELOOP: a link on the way; EINVAL: not a plain relative path).
  std::expected<UniqueFd, int> openParent(std::string_view relative) const;
  // lstat of `relative` beneath the root.
  std::expected<struct stat, int> status(std::string_view relative) const;

  // What the caller checks before a file is removed or replaced: the folder it lies in,
  // its name there and its lstat (always a regular file). A path that names it through
  // /proc lets readers (an audio demuxer) open exactly that file.
  using Check = std::function<bool(int folder, const std::string& name, const struct stat& info)>;
  static std::string procPath(int folder, const std::string& name);

  // Removes the regular file `relative` when `check` accepts it: 0, ENOENT when it is
  // already gone, EPERM when it is refused (not regular, or `check` says no), or errno.
  int removeFile(std::string_view relative, const Check& check) const;
  // Renames `temporary` (a name in the folder of `relative`) over `relative`, when nothing
  // is there or `check` accepts what is. 0, EPERM when refused, or errno.
  int replaceFile(const std::string& temporary, std::string_view relative, const Check& check) const;
  // Removes the folders of `relative` that are empty, deepest first, up to the root.
  void removeEmptyFolders(std::string_view relative) const;

 private:
  std::filesystem::path root_;
  UniqueFd rootFd_;
};

}  // namespace vexal
