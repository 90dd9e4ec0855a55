#include "orchestration/desktop_notice.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>

namespace vexal {

namespace {
constexpr auto kService = "org.freedesktop.Notifications";
constexpr auto kPath = "/org/freedesktop/Notifications";
constexpr auto kInterface = "org.freedesktop.Notifications";
constexpr int kDefaultTimeout = -1;  // the server's own choice
}  // namespace

void postDesktopNotice(const QString& title, const QString& body) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  // A plain message rather than a QDBusInterface: the interface would introspect the
  // service synchronously and could stall the window on a slow bus.
  QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, "Notify");
  call << QStringLiteral("Vexal") << 0u << QStringLiteral("audio-x-generic") << title << body
       << QStringList()
       << QVariantMap{{QStringLiteral("category"), QStringLiteral("transfer.complete")}}
       << kDefaultTimeout;
  bus.send(call);  // the reply (the notice id) is not needed; failures are ignored
}

}  // namespace vexal
