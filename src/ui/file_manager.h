#pragma once

#include <QStringList>

namespace vexal::ui {

// Opens the file manager on `paths` with them selected (org.freedesktop.FileManager1
// ShowItems on the session bus); without that service, opens the folder of the first
// path instead. A single folder is opened itself. Returns false when neither could be
// asked.
bool showInFolder(const QStringList& paths);

}  // namespace vexal::ui
