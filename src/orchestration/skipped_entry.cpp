#include "orchestration/skipped_entry.h"

namespace vexal {

namespace fs = std::filesystem;

std::optional<QString> whyNotImported(const fs::path& path, bool followFolders) {
  std::error_code error;
  const fs::file_status own = fs::symlink_status(path, error);
  if (error || !fs::exists(own)) return QStringLiteral("no such file or folder");
  const fs::file_status target = fs::status(path, error);
  if (error || !fs::exists(target)) return QStringLiteral("a link to nothing");
  switch (target.type()) {
    case fs::file_type::regular:
      return std::nullopt;
    case fs::file_type::directory:
      if (followFolders || !fs::is_symlink(own)) return std::nullopt;
      return QStringLiteral("a link to a folder (not followed)");
    case fs::file_type::fifo:
      return QStringLiteral("a FIFO, not a file");
    case fs::file_type::block:
    case fs::file_type::character:
      return QStringLiteral("a device, not a file");
    case fs::file_type::socket:
      return QStringLiteral("a socket, not a file");
    default:
      return QStringLiteral("not a regular file");
  }
}

QString unreadableFolder(const std::error_code& error) {
  return QStringLiteral("cannot read the folder: ") + QString::fromStdString(error.message());
}

QString folderWithoutAudio() { return QStringLiteral("a folder holding no audio, not an audio file"); }

}  // namespace vexal
