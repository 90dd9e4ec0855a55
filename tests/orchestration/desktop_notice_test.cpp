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

// The desktop's side on a private bus: a notification server and a file manager that
// record what they are asked.
class FakeDesktop : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
 public:
  struct Notice {
    QString title;
    QStringList actions;
    QVariantMap hints;
  };
  std::vector<Notice> notices;

 public slots:
  uint Notify(const QString&, uint, const QString&, const QString& summary, const QString&,
              const QStringList& actions, const QVariantMap& hints, int) {
    notices.push_back({summary, actions, hints});
    return 40 + static_cast<uint>(notices.size());
  }
};

class FakeFileManager : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
 public:
  QStringList shown;

 public slots:
  void ShowItems(const QStringList& uris, const QString&) { shown << uris; }
};

class DesktopNoticeTest : public testing::Test {
 protected:
  void SetUp() override {
    daemon_.start("dbus-daemon", {"--session", "--nofork", "--print-address"});
    if (!daemon_.waitForStarted() || !daemon_.waitForReadyRead(5000)) GTEST_SKIP() << "no dbus-daemon";
    const QString address = QString::fromLatin1(daemon_.readLine()).trimmed();
    desktop_ = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address, "desktop"));
    app_ = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address, "app"));
    ASSERT_TRUE(desktop_->isConnected() && app_->isConnected());
    ASSERT_TRUE(desktop_->registerService("org.freedesktop.Notifications"));
    ASSERT_TRUE(desktop_->registerObject("/org/freedesktop/Notifications", &notifications_,
                                         QDBusConnection::ExportAllSlots));
  }
  void TearDown() override {
    app_.reset();
    desktop_.reset();
    QDBusConnection::disconnectFromBus("desktop");
    QDBusConnection::disconnectFromBus("app");
    daemon_.kill();
    daemon_.waitForFinished();
  }
  void invoke(uint id, const QString& action) {
    QDBusMessage signal = QDBusMessage::createSignal("/org/freedesktop/Notifications",
                                                     "org.freedesktop.Notifications", "ActionInvoked");
    signal << id << action;
    desktop_->send(signal);
  }

  QProcess daemon_;
  FakeDesktop notifications_;
  std::unique_ptr<QDBusConnection> desktop_;
  std::unique_ptr<QDBusConnection> app_;
};

// The notice carries the desktop entry and a "Show in Folder" action; only choosing
// that action on this notice asks for its folder.
TEST_F(DesktopNoticeTest, ShowInFolderActionReportsTheNoticesFolder) {
  DesktopNotices notices(*app_);
  QSignalSpy requested(&notices, &DesktopNotices::showFolderRequested);
  notices.post("Conversion Finished with Errors", "1 of 2 files converted successfully.",
               "io.github.vexal.Vexal", "/music/out");
  ASSERT_TRUE(QTest::qWaitFor([&] { return notifications_.notices.size() == 1; }, 5000));
  const auto& notice = notifications_.notices.front();
  EXPECT_EQ(notice.title, "Conversion Finished with Errors");
  EXPECT_EQ(notice.actions, (QStringList{"show-folder", "Show in Folder"}));
  EXPECT_EQ(notice.hints.value("desktop-entry").toString(), "io.github.vexal.Vexal");

  // The reply carrying the id left before these signals, on the same connection.
  invoke(7, "show-folder");  // another application's notice
  invoke(41, "default");
  invoke(41, "show-folder");
  ASSERT_TRUE(requested.wait(5000));
  ASSERT_EQ(requested.count(), 1);
  EXPECT_EQ(requested.front().front().toString(), "/music/out");
}

// The folder opens through the fallback when no file manager answers, and through the
// file manager's interface when one does.
TEST_F(DesktopNoticeTest, ShowInFileManagerFallsBackWithoutAFileManager) {
  bool fellBack = false;
  showInFileManager("/music/out", [&] { fellBack = true; }, *app_);
  EXPECT_TRUE(QTest::qWaitFor([&] { return fellBack; }, 5000));

  FakeFileManager fileManager;
  ASSERT_TRUE(desktop_->registerService("org.freedesktop.FileManager1"));
  ASSERT_TRUE(desktop_->registerObject("/org/freedesktop/FileManager1", &fileManager,
                                       QDBusConnection::ExportAllSlots));
  showInFileManager("/music/out", [] {}, *app_);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !fileManager.shown.isEmpty(); }, 5000));
  EXPECT_EQ(fileManager.shown, QStringList{"file:///music/out"});
}

}  // namespace
}  // namespace vexal

#include "desktop_notice_test.moc"
