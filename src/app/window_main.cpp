#include <QApplication>

#include "ui/content_view.h"
#include "ui/icons.h"
#include "ui/updater_controller.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Vexal"));
  // No display name: the platform would append " — Vexal" to every window title.
  QApplication::setOrganizationDomain(QStringLiteral("vexal.github.io"));
  // Ties the window to io.github.vexal.Vexal.desktop: its icon, name and dock entry.
  QGuiApplication::setDesktopFileName(vexal::ui::ContentView::kDesktopFileName);
  QApplication::setWindowIcon(vexal::ui::applicationIcon());

  const vexal::ui::UpdaterController updater;
  vexal::ui::ContentView window({}, &updater);
  window.show();
  // Files and folders handed over by a file manager ("Open With Vexal").
  const QStringList paths = QApplication::arguments().mid(1);
  if (!paths.isEmpty()) window.viewModel().importURLs(paths);
  return QApplication::exec();
}
