#include "ui/launcher_entry.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <algorithm>

namespace vexal::ui {
namespace {
const QString kObjectPath = QStringLiteral("/io/github/vexal/Vexal/LauncherEntry");
const QString kInterface = QStringLiteral("com.canonical.Unity.LauncherEntry");
}  // namespace

LauncherEntry::LauncherEntry(QString desktopFileName, QString connectionName)
    : appUri_(QStringLiteral("application://") + desktopFileName + QStringLiteral(".desktop")),
      connectionName_(std::move(connectionName)) {}

QVariantMap LauncherEntry::properties(bool visible, double progress, int count) {
  return {
      {QStringLiteral("progress"), std::clamp(progress, 0.0, 1.0)},
      {QStringLiteral("progress-visible"), visible},
      {QStringLiteral("count"), static_cast<qint64>(visible ? count : 0)},
      {QStringLiteral("count-visible"), visible && count > 0},
  };
}

void LauncherEntry::update(double progress, int count) {
  send(properties(true, progress, count));
}

void LauncherEntry::clear() {
  send(properties(false, 0.0, 0));
}

void LauncherEntry::send(const QVariantMap& properties) {
  QDBusConnection bus =
      connectionName_.isEmpty() ? QDBusConnection::sessionBus() : QDBusConnection(connectionName_);
  if (!bus.isConnected()) return;  // no session bus (headless): nothing shows a badge
  QDBusMessage message =
      QDBusMessage::createSignal(kObjectPath, kInterface, QStringLiteral("Update"));
  message << appUri_ << properties;
  bus.send(message);
}

QString badgeText(double progress) {
  return QString::number(static_cast<int>(std::clamp(progress, 0.0, 1.0) * 100.0)) +
         QLatin1Char('%');
}

}  // namespace vexal::ui
