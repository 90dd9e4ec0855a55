#pragma once

// What the audio-file layer learns by reading a whole file (a length counted by decoding,
// the check of every Ogg page), kept per file state for the process: each track of a long
// image opens the file again. Private to the layer.

#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>

namespace vexal::platform {

// Device, inode, size, modification and change times (s, ns).
using FileState = std::array<std::int64_t, 7>;

inline std::optional<FileState> fileStateOf(const std::filesystem::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return FileState{static_cast<std::int64_t>(info.st_dev),
                   static_cast<std::int64_t>(info.st_ino),
                   info.st_size,
                   info.st_mtim.tv_sec,
                   info.st_mtim.tv_nsec,
                   info.st_ctim.tv_sec,
                   info.st_ctim.tv_nsec};
}

// Thread-safe. A file changed in the last seconds is not kept, as a rewrite within the
// same timestamp tick would look unchanged.
template <typename Value>
class FileStateMemo {
 public:
  std::optional<Value> find(const FileState& state) {
    const std::lock_guard lock(mutex_);
    const auto found = values_.find(state);
    if (found == values_.end()) return std::nullopt;
    return found->second;
  }

  void keep(const FileState& state, const Value& value) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec - state[kModifiedSeconds] < kSettledSeconds) return;
    const std::lock_guard lock(mutex_);
    if (values_.size() >= kMaxEntries) values_.clear();
    values_[state] = value;
  }

  // `read(path)` once per file state: kept only when the file did not change meanwhile.
  template <typename Read>
  Value remembered(const std::filesystem::path& path, Read&& read) {
    const auto before = fileStateOf(path);
    if (before) {
      if (auto known = find(*before)) return *known;
    }
    Value value = read(path);
    if (before && fileStateOf(path) == before) keep(*before, value);
    return value;
  }

 private:
  static constexpr std::size_t kModifiedSeconds = 3;  // index of st_mtim.tv_sec
  static constexpr std::int64_t kSettledSeconds = 2;
  static constexpr std::size_t kMaxEntries = 1024;
  std::mutex mutex_;
  std::map<FileState, Value> values_;
};

}  // namespace vexal::platform
