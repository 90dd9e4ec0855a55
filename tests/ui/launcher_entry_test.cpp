#include "ui/launcher_entry.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QProcess>
#include <QStandardPaths>
#include <QVariantMap>

#include "ui_test_support.h"

namespace vexal::test {

// Records the launcher updates seen on the bus.
class LauncherListener : public QObject {
  Q_OBJECT
 public:
  std::vector<std::pair<QString, QVariantMap>> updates;
 public slots:
  void onUpdate(const QString& appUri, const QVariantMap& properties) {
    updates.emplace_back(appUri, properties);
  }
};

namespace {

// The badge travels as a D-Bus signal; a private bus daemon stands in for the session's.
TEST(LauncherEntryBus, UpdateAndClearReachListenersOnTheBus) {
  const QString daemonPath = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
  if (daemonPath.isEmpty()) GTEST_SKIP() << "dbus-daemon is not installed";
  QProcess daemon;
  daemon.start(daemonPath, {"--session", "--nofork", "--print-address"});
  ASSERT_TRUE(daemon.waitForReadyRead(5000));
  const QString address = QString::fromUtf8(daemon.readLine()).trimmed();
  {
    QDBusConnection sender = QDBusConnection::connectToBus(address, "vexal-launcher-sender");
    QDBusConnection receiver = QDBusConnection::connectToBus(address, "vexal-launcher-receiver");
    ASSERT_TRUE(sender.isConnected());
    ASSERT_TRUE(receiver.isConnected());
    LauncherListener listener;
    ASSERT_TRUE(receiver.connect(QString(), QString(), "com.canonical.Unity.LauncherEntry",
                                 "Update", &listener, SLOT(onUpdate(QString, QVariantMap))));

    ui::LauncherEntry entry("io.github.vexal.Vexal", "vexal-launcher-sender");
    entry.update(0.375, 6);
    ASSERT_TRUE(waitFor([&] { return listener.updates.size() == 1; }, 5000));
    EXPECT_EQ(listener.updates[0].first, "application://io.github.vexal.Vexal.desktop");
    EXPECT_DOUBLE_EQ(listener.updates[0].second["progress"].toDouble(), 0.375);
    EXPECT_TRUE(listener.updates[0].second["progress-visible"].toBool());
    EXPECT_EQ(listener.updates[0].second["count"].toLongLong(), 6);
    EXPECT_TRUE(listener.updates[0].second["count-visible"].toBool());

    entry.clear();
    ASSERT_TRUE(waitFor([&] { return listener.updates.size() == 2; }, 5000));
    EXPECT_FALSE(listener.updates[1].second["progress-visible"].toBool());
    EXPECT_FALSE(listener.updates[1].second["count-visible"].toBool());
  }
  QDBusConnection::disconnectFromBus("vexal-launcher-sender");
  QDBusConnection::disconnectFromBus("vexal-launcher-receiver");
  daemon.kill();
  daemon.waitForFinished();
}

}  // namespace
}  // namespace vexal::test

#include "launcher_entry_test.moc"
