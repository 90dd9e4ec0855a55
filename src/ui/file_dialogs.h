#pragma once

#include <QString>
#include <QStringList>

class QWidget;

namespace vexal::ui {

// "Add Files/Folders": one dialog in which audio files, cue sheets and folders can be
// selected together. Empty when cancelled.
QStringList pickFilesAndFolders(QWidget* parent);
// "Choose output directory": one folder, or empty when cancelled.
QString pickOutputDirectory(QWidget* parent, const QString& current);

}  // namespace vexal::ui
