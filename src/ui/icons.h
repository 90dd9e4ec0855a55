#pragma once

#include <QIcon>
#include <QString>

namespace vexal::ui {

// Icons are named after the symbols the views use ("plus", "folder", "stop.fill");
// each maps to a freedesktop icon-theme name, with a bundled SVG when the desktop's
// theme has none.
QString freedesktopIconName(const QString& symbol);
QIcon symbolIcon(const QString& symbol);
QIcon applicationIcon();

}  // namespace vexal::ui
