#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <map>

namespace vexal {

// Notices through the desktop's notification service (org.freedesktop.Notifications on
// the session bus), each with a "Show in Folder" action. Asynchronous; without a bus or
// service nothing happens.
class DesktopNotices : public QObject {
  Q_OBJECT
 public:
  static constexpr auto kShowFolderAction = "show-folder";

  explicit DesktopNotices(QDBusConnection bus = QDBusConnection::sessionBus(), QObject* parent = nullptr);

  // `desktopEntry` ("io.github.vexal.Vexal") lets the desktop show the application's name
  // and icon; the action of this notice reports `folder`.
  void post(const QString& title, const QString& body, const QString& desktopEntry, const QString& folder);

 signals:
  void showFolderRequested(const QString& folder);

 private slots:
  void onActionInvoked(uint id, const QString& action);

 private:
  QDBusConnection bus_;
  std::map<uint, QString> folders_;  // notice id to the folder of its action
};

}  // namespace vexal
