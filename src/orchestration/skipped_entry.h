#pragma once

#include <QString>
#include <filesystem>
#include <optional>
#include <system_error>

namespace vexal {

// Why `path` is neither imported as a file nor walked as a folder: missing, a FIFO, a
// device, a socket, a link to nothing, or a linked folder when `followFolders` is false
// (walks do not follow them). Empty for a regular file (through links) and a folder.
std::optional<QString> whyNotImported(const std::filesystem::path& path, bool followFolders);

// A folder a walk could not list.
QString unreadableFolder(const std::error_code& error);

// A folder named like an audio file ("Live.wav") that holds no audio.
QString folderWithoutAudio();

}  // namespace vexal
