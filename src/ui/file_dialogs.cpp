#include "ui/file_dialogs.h"

#include <QAbstractItemView>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QPushButton>
#include <QStandardPaths>
#include <filesystem>
#include <optional>

#include "orchestration/converter_view_model.h"
#include "sources/path_text.h"

namespace vexal::ui {

QStringList pickFilesAndFolders(QWidget* parent) {
  QStringList patterns;
  for (const QString& extension : acceptedAudioExtensions())
    patterns << QStringLiteral("*.") + extension;
  patterns << QStringLiteral("*.cue");
  QFileDialog dialog(parent, QStringLiteral("Add Files/Folders"),
                     QStandardPaths::writableLocation(QStandardPaths::MusicLocation));
  // The platform dialogs pick either files or folders; Qt's own dialog lets the
  // selection hold both once its views allow extended selection.
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setFileMode(QFileDialog::ExistingFiles);
  dialog.setNameFilters(
      {QObject::tr("Audio files and cue sheets (%1)").arg(patterns.join(QLatin1Char(' '))),
       QObject::tr("All files (*)")});
  for (auto* view : dialog.findChildren<QAbstractItemView*>()) {
    view->setSelectionMode(QAbstractItemView::ExtendedSelection);
  }
  QStringList chosen;
  if (auto* buttons = dialog.findChild<QDialogButtonBox*>()) {
    if (QPushButton* open = buttons->button(QDialogButtonBox::Open)) {
      // The stock handler enters a selected folder instead of accepting it.
      open->disconnect();
      QObject::connect(open, &QPushButton::clicked, &dialog, [&dialog, &chosen] {
        chosen = dialog.selectedFiles();
        // QDialog::accept, not the file dialog's own, which would enter a folder.
        dialog.QDialog::accept();
      });
    }
  }
  if (dialog.exec() != QDialog::Accepted) return {};
  if (chosen.isEmpty()) chosen = dialog.selectedFiles();
  for (QString& path : chosen) path = pathOfShownName(path);
  return chosen;
}

QString pickOutputDirectory(QWidget* parent, const QString& current) {
  return pathOfShownName(QFileDialog::getExistingDirectory(
      parent, QStringLiteral("Choose output directory"), current, QFileDialog::ShowDirsOnly));
}

QString pickWatchFolder(QWidget* parent) {
  return pathOfShownName(QFileDialog::getExistingDirectory(parent, QObject::tr("Choose a folder to watch")));
}

QString pathOfShownName(const QString& shown) {
  constexpr QChar kReplacement(0xFFFD);
  if (!shown.contains(kReplacement) || !shown.startsWith(QLatin1Char('/'))) return shown;
  namespace fs = std::filesystem;
  fs::path found("/");
  for (const QString& component : shown.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
    if (!component.contains(kReplacement)) {
      found /= pathFromQString(component);
      continue;
    }
    std::optional<fs::path> match;
    std::error_code error;
    for (fs::directory_iterator it(found, error); !error && it != fs::directory_iterator(); it.increment(error)) {
      fs::path name = it->path().filename();
      if (QFile::decodeName(QByteArray::fromStdString(name.native())) != component) continue;
      if (match) return shown;  // two names read the same: no way to tell which was meant
      match = std::move(name);
    }
    if (!match) return shown;
    found /= *match;
  }
  return pathToQString(found);
}

}  // namespace vexal::ui
