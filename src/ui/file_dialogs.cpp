#include "ui/file_dialogs.h"

#include <QAbstractItemView>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QPushButton>
#include <QStandardPaths>

#include "orchestration/converter_view_model.h"

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
  return chosen.isEmpty() ? dialog.selectedFiles() : chosen;
}

QString pickOutputDirectory(QWidget* parent, const QString& current) {
  return QFileDialog::getExistingDirectory(parent, QStringLiteral("Choose output directory"),
                                           current, QFileDialog::ShowDirsOnly);
}

}  // namespace vexal::ui
