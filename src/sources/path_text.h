#pragma once

#include <QString>
#include <QStringList>
#include <filesystem>
#include <string>

namespace vexal {

// File names on Linux are bytes, not always UTF-8. In a QString each byte that is not
// part of valid UTF-8 is held as the lone surrogate U+DC00 + byte, so every path survives
// the trip through Qt's string APIs and back; on screen such a surrogate reads as U+FFFD.
QString pathToQString(const std::filesystem::path& path);
std::filesystem::path pathFromQString(const QString& text);

// A file name's extension without its dot, ASCII letters in lower case ("FLAC" -> "flac");
// other bytes are kept as they are.
std::string lowerExtension(const std::filesystem::path& path);

// The local files a "text/uri-list" names (what file managers put in a drag), as above:
// percent-escapes that are not UTF-8 keep their bytes, which QUrl would turn into U+FFFD.
// Other schemes, other hosts and comment lines are skipped.
QStringList localPathsOfUriList(const QByteArray& uriList);

}  // namespace vexal
