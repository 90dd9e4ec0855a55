#include "orchestration/source_import.h"

#include <sys/stat.h>

#include <algorithm>
#include <system_error>

#include "model/input_formats.h"
#include "orchestration/skipped_entry.h"
#include "sources/path_text.h"

namespace vexal {

namespace {

namespace fs = std::filesystem;

bool isAccepted(const fs::path& path) {
  return acceptedInputExtensions().contains(lowerExtension(path));
}

std::optional<std::pair<dev_t, ino_t>> identityOf(const fs::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return std::pair{info.st_dev, info.st_ino};
}

class Walker {
 public:
  Walker(const ImportExclusions& exclusions, ImportWalk& walk) : exclusions_(exclusions), walk_(walk) {
    if (!exclusions.destination.empty()) {
      destination_ = identityOf(exclusions.destination);
      std::error_code ignored;
      canonicalDestination_ = fs::weakly_canonical(exclusions.destination, ignored);
    }
  }

  void addFile(const QString& path) { walk_.items.push_back({{path}, std::nullopt, {}}); }

  void addCue(const QString& path, std::optional<QString> subfolder) {
    walk_.items.push_back({{}, std::move(subfolder), path});
  }

  // `canonical`: the folder's path with links resolved, to find files of the destination.
  // True when it or a sub-folder held any audio; what looks like audio but cannot be read
  // is named.
  bool walk(const fs::path& folder, const fs::path& canonical, const QString& relative) {
    std::error_code error;
    fs::directory_iterator it(folder, error);
    if (error) {
      skip(folder, unreadableFolder(error));
      return false;
    }
    std::vector<fs::path> cues, audio, folders;
    for (; it != fs::directory_iterator(); it.increment(error)) {
      if (error) break;
      const fs::directory_entry& entry = *it;
      const std::string name = entry.path().filename().string();
      if (name.empty() || name.front() == '.') continue;
      const bool cue = lowerExtension(entry.path()) == "cue";
      std::error_code typeError;
      // Linked folders are not followed, so a link cycle cannot loop.
      if (entry.is_directory(typeError) && !entry.is_symlink(typeError)) {
        if (!isDestination(entry.path())) folders.push_back(entry.path());
      } else if (entry.is_regular_file(typeError)) {
        if (isRecorded(canonical / entry.path().filename())) continue;
        if (cue) {
          cues.push_back(entry.path());
        } else if (isAccepted(entry.path())) {
          audio.push_back(entry.path());
        }
      } else if (cue || isAccepted(entry.path())) {
        if (const auto reason = whyNotImported(entry.path(), false)) skip(entry.path(), *reason);
      }
    }
    if (error) skip(folder, unreadableFolder(error));
    std::ranges::sort(cues);
    std::ranges::sort(audio);
    std::ranges::sort(folders);
    const bool found = !cues.empty() || !audio.empty();
    if (!cues.empty()) {
      // The tracks go under the sheet's own folder like every other source; a folder of
      // several sheets (discs, versions) keeps each sheet's tracks apart.
      for (const auto& cue : cues) {
        QString subfolder = relative;
        if (cues.size() > 1) subfolder += QLatin1Char('/') + pathToQString(cue.stem());
        addCue(pathToQString(cue), subfolder);
      }
    } else if (!audio.empty()) {
      ImportItem item;
      item.subfolder = relative;
      for (const auto& file : audio) item.files.push_back(pathToQString(file));
      walk_.items.push_back(std::move(item));
    }
    bool foundBelow = false;
    for (const auto& sub : folders) {
      foundBelow = walk(sub, canonical / sub.filename(),
                        relative + QLatin1Char('/') + pathToQString(sub.filename())) ||
                   foundBelow;
    }
    if (!found && !foundBelow && isAccepted(folder)) skip(folder, folderWithoutAudio());
    return found || foundBelow;
  }

  void skip(const fs::path& path, const QString& reason) { walk_.skipped.emplace_back(pathToQString(path), reason); }
  void skip(const QString& path, const QString& reason) { walk_.skipped.emplace_back(path, reason); }

 private:
  bool isDestination(const fs::path& folder) const {
    return destination_ && identityOf(folder) == destination_;
  }

  bool isRecorded(const fs::path& canonicalFile) const {
    if (!exclusions_.isRecordedOutput || canonicalDestination_.empty()) return false;
    const std::string prefix = canonicalDestination_.native() + '/';
    const std::string& text = canonicalFile.native();
    return text.starts_with(prefix) && exclusions_.isRecordedOutput(text.substr(prefix.size()));
  }

  const ImportExclusions& exclusions_;
  ImportWalk& walk_;
  std::optional<std::pair<dev_t, ino_t>> destination_;
  fs::path canonicalDestination_;
};

}  // namespace

ImportWalk walkImport(const QStringList& paths, const ImportExclusions& exclusions) {
  ImportWalk result;
  Walker walker(exclusions, result);
  for (const QString& path : paths) {
    const fs::path item = pathFromQString(path);
    // Missing paths are named, and nothing is read from a FIFO or a device (it would
    // block or never end).
    if (const auto reason = whyNotImported(item, true)) {
      walker.skip(path, *reason);
      continue;
    }
    if (lowerExtension(item) == "cue") {
      walker.addCue(path, std::nullopt);
      continue;
    }
    std::error_code error;
    if (fs::is_directory(item, error)) {
      fs::path folder = item;
      if (!folder.has_filename()) folder = folder.parent_path();  // "Album/" -> "Album"
      std::error_code ignored;
      result.folders.push_back(fs::absolute(folder, ignored).lexically_normal());
      walker.walk(folder, fs::weakly_canonical(folder, ignored), pathToQString(folder.filename()));
    } else if (isAccepted(item)) {
      walker.addFile(path);
    } else {
      walker.skip(path, QStringLiteral("not an audio file or cue sheet Vexal accepts"));
    }
  }
  return result;
}

std::string libraryPathOf(const fs::path& source, const std::vector<fs::path>& folders,
                          fs::path* baseOut) {
  // Absolute: walked files keep the path as given, cue sheets resolve theirs.
  std::error_code ignored;
  const fs::path absolute = fs::absolute(source, ignored).lexically_normal();
  fs::path base = absolute.parent_path();
  std::size_t longest = 0;
  for (const fs::path& folder : folders) {
    const std::string prefix = folder.native() + '/';
    if (absolute.native().starts_with(prefix) && prefix.size() > longest) {
      longest = prefix.size();
      base = folder.parent_path();
    }
  }
  std::string key = absolute.native().substr(base.native().size());
  while (key.starts_with('/')) key.erase(0, 1);
  if (baseOut) *baseOut = base;
  return key;
}

}  // namespace vexal
