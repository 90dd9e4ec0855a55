#pragma once

#include <QIcon>
#include <QString>

namespace vexal::ui {

// Icons are named after the symbols the views use ("plus", "folder", "stop.fill");
// each maps to a freedesktop icon-theme name, preferred when the desktop's theme has
// it, with a bundled SVG otherwise.
QString freedesktopIconName(const QString& symbol);
QIcon symbolIcon(const QString& symbol);
// The bundled drawing of `symbol`. Single-colour symbols are painted in the
// application palette's text colour (highlighted text for selected items, faded when
// disabled) each time they are drawn, so they follow a dark palette and its changes.
QIcon bundledIcon(const QString& symbol);
QIcon applicationIcon();

}  // namespace vexal::ui
