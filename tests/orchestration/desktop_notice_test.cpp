#include <QDBusConnection>
#include <QDBusMessage>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QVariantMap>
#include <gmock/gmock.h>

#include "orchestration/desktop_notice.h"

namespace vexal {
namespace {

// The desktop's notification server, recording what it is asked.
class FakeNotifications : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
 public:
  QStringList titles;
  QStringList actions;
  QVariantMap hints;

 public slots:
  uint Notify(const QString&, uint, const QString&, const QString& summary, const QString&,
              const QStringList& noticeActions, const QVariantMap& noticeHints, int) {
    titles << summary;
    actions = noticeActions;
    hints = noticeHints;
    return 40 + static_cast<uint>(titles.size());
  }
};

// On a private bus: the notice carries the desktop entry and a "Show in Folder" action,
// and only that action on this process's notice asks for its folder.
TEST(DesktopNotices, ShowInFolderActionReportsTheNoticesFolder) {
  QProcess daemon;
  daemon.start("dbus-daemon", {"--session", "--nofork", "--print-address"});
  if (!daemon.waitForStarted() || !daemon.waitForReadyRead(5000)) GTEST_SKIP() << "no dbus-daemon";
  const QString address = QString::fromLatin1(daemon.readLine()).trimmed();
  {
    QDBusConnection desktop = QDBusConnection::connectToBus(address, "desktop");
    FakeNotifications server;
    ASSERT_TRUE(desktop.registerService("org.freedesktop.Notifications"));
    ASSERT_TRUE(desktop.registerObject("/org/freedesktop/Notifications", &server, QDBusConnection::ExportAllSlots));

    DesktopNotices notices(QDBusConnection::connectToBus(address, "app"));
    QSignalSpy requested(&notices, &DesktopNotices::showFolderRequested);
    notices.post("Conversion Finished with Errors", "1 of 2 files converted successfully.",
                 "io.github.vexal.Vexal", "/music/out");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !server.titles.isEmpty(); }, 5000));
    EXPECT_EQ(server.titles, QStringList{"Conversion Finished with Errors"});
    EXPECT_EQ(server.actions, (QStringList{"show-folder", "Show in Folder"}));
    EXPECT_EQ(server.hints.value("desktop-entry").toString(), "io.github.vexal.Vexal");

    // The reply carrying the id left before these signals, on the same connection.
    for (const auto& [id, action] : {std::pair{7u, "show-folder"}, {41u, "default"}, {41u, "show-folder"}}) {
      QDBusMessage signal = QDBusMessage::createSignal("/org/freedesktop/Notifications",
                                                       "org.freedesktop.Notifications", "ActionInvoked");
      signal << id << QString::fromLatin1(action);
      desktop.send(signal);
    }
    ASSERT_TRUE(requested.wait(5000));
    ASSERT_EQ(requested.count(), 1);
    EXPECT_EQ(requested.front().front().toString(), "/music/out");
  }
  QDBusConnection::disconnectFromBus("desktop");
  QDBusConnection::disconnectFromBus("app");
  daemon.kill();
  daemon.waitForFinished();
}

}  // namespace
}  // namespace vexal

#include "desktop_notice_test.moc"
