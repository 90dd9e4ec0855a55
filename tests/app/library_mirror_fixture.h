#pragma once

// A library under "Library" and its mirror under "out", both in the test's folder, and
// what the mirroring tests read back from them.

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "app/cli_fixture.h"

namespace vexal {

class LibraryMirrorTest : public Cli {
 protected:
  std::filesystem::path lib = dir / "Library";
  std::filesystem::path out = dir / "out";

  void source(const std::string& name, std::int64_t frames = 4410) {
    std::filesystem::create_directories((lib / name).parent_path());
    test::writeWav(lib / (name + ".wav"), frames);
  }
  // The library as a relative path: cue sheets resolve their audio to absolute paths.
  CliRun sync(const QStringList& extra = {}, const QString& formats = "flac") {
    QStringList arguments{"--sync", "--format", formats, "--output", test::q(out), "Library"};
    return run(arguments << extra);
  }
  // Visible files below `root` (not the index's hidden folder), relative to it.
  static std::set<std::string> filesBelow(const std::filesystem::path& root) {
    namespace fs = std::filesystem;
    std::set<std::string> files;
    if (!fs::exists(root)) return files;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
      if (it->path().filename().string().starts_with('.')) {
        if (it->is_directory()) it.disable_recursion_pending();
        continue;
      }
      if (it->is_regular_file()) files.insert(fs::relative(it->path(), root).string());
    }
    return files;
  }
  static std::string contents(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
};

}  // namespace vexal
