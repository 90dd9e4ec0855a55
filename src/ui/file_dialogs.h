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
// "Choose a folder to watch": one folder, or empty when cancelled.
QString pickWatchFolder(QWidget* parent);

// Qt's file dialogs list names through the locale's decoder, which turns bytes that are
// not UTF-8 into U+FFFD. This finds the file such a name was shown for (the one entry
// of each folder that decodes to the shown component) and returns its bytes as
// pathToQString does; other paths come back unchanged.
QString pathOfShownName(const QString& shown);

}  // namespace vexal::ui
