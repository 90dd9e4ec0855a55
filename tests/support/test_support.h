#pragma once

// Generated audio for tests: signals written to disk through FFmpeg's encoders in any
// accepted input format, and decoding of written files back to PCM.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace vexal::test {

// A fresh empty directory under the system temp folder, removed at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

}  // namespace vexal::test
