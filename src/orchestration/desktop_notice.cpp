#include "orchestration/desktop_notice.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

namespace vexal {

namespace {
constexpr auto kService = "org.freedesktop.Notifications";
constexpr auto kPath = "/org/freedesktop/Notifications";
constexpr auto kInterface = "org.freedesktop.Notifications";
constexpr int kDefaultTimeout = -1;  // the server's own choice
}  // namespace

DesktopNotices::DesktopNotices(QDBusConnection bus, QObject* parent) : QObject(parent), bus_(std::move(bus)) {
  if (bus_.isConnected()) {
    bus_.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                 SLOT(onActionInvoked(uint, QString)));
  }
}

void DesktopNotices::post(const QString& title, const QString& body, const QString& desktopEntry,
                          const QString& folder) {
  if (!bus_.isConnected()) return;
  // A plain message rather than a QDBusInterface: the interface would introspect the
  // service synchronously and could stall the window on a slow bus.
  QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, "Notify");
  call << QStringLiteral("Vexal") << 0u << QStringLiteral("audio-x-generic") << title << body
       << QStringList{QString::fromLatin1(kShowFolderAction), QStringLiteral("Show in Folder")}
       << QVariantMap{{QStringLiteral("category"), QStringLiteral("transfer.complete")},
                      {QStringLiteral("desktop-entry"), desktopEntry}}
       << kDefaultTimeout;
  auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, folder](QDBusPendingCallWatcher* done) {
    const QDBusPendingReply<uint> reply = *done;
    if (reply.isValid()) folders_[reply.value()] = folder;
    done->deleteLater();
  });
}

void DesktopNotices::onActionInvoked(uint id, const QString& action) {
  // The signal reaches every listener on the bus: only this process's notices count.
  const auto it = folders_.find(id);
  if (it == folders_.end() || action != QLatin1String(kShowFolderAction)) return;
  emit showFolderRequested(it->second);
}

}  // namespace vexal
