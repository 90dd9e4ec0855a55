#include "ui/file_manager.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

namespace vexal::ui {
namespace {
const QString kService = QStringLiteral("org.freedesktop.FileManager1");
}  // namespace

bool showInFolder(const QStringList& paths) {
  if (paths.isEmpty()) return false;
  // A folder alone is opened, not shown selected in its parent.
  if (paths.size() == 1 && QFileInfo(paths.front()).isDir())
    return QDesktopServices::openUrl(QUrl::fromLocalFile(paths.front()));
  QDBusConnection bus = QDBusConnection::sessionBus();
  // Asked first: a call to a service nobody offers would wait for activation.
  if (bus.isConnected() && bus.interface() && bus.interface()->isServiceRegistered(kService)) {
    QStringList uris;
    for (const QString& path : paths) uris << QUrl::fromLocalFile(path).toString();
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, QStringLiteral("/org/freedesktop/FileManager1"),
                                       kService, QStringLiteral("ShowItems"));
    call << uris << QString();  // no startup id
    if (bus.send(call)) return true;
  }
  const QFileInfo first(paths.front());
  const QString folder = first.isDir() ? first.absoluteFilePath() : first.absolutePath();
  return QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

}  // namespace vexal::ui
