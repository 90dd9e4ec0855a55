#pragma once

#include <QString>
#include <filesystem>

namespace vexal {

// File names on Linux are bytes, not always UTF-8. In a QString each byte that is not
// part of valid UTF-8 is held as the lone surrogate U+DC00 + byte, so every path survives
// the trip through Qt's string APIs and back; on screen such a surrogate reads as U+FFFD.
QString pathToQString(const std::filesystem::path& path);
std::filesystem::path pathFromQString(const QString& text);

}  // namespace vexal
