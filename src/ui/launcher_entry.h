#pragma once

#include <QString>
#include <QVariantMap>

namespace vexal::ui {

// The dock badge of Linux desktops: the launcher's progress and count, published as
// the com.canonical.Unity.LauncherEntry "Update" signal on the session bus (read by
// KDE Plasma's task manager, Dash to Dock, Plank and others).
class LauncherEntry {
 public:
  // `connectionName` names a bus connection made with QDBusConnection::connectToBus;
  // empty: the session bus.
  explicit LauncherEntry(QString desktopFileName, QString connectionName = {});

  // Shows `progress` (0…1) and `count` on the launcher; clear() hides both.
  void update(double progress, int count);
  void clear();

  // The properties of one Update signal.
  static QVariantMap properties(bool visible, double progress, int count);
  const QString& appUri() const { return appUri_; }

 private:
  void send(const QVariantMap& properties);
  QString appUri_;  // "application://io.github.vexal.Vexal.desktop"
  QString connectionName_;
};

// "37%": the whole percentage (truncated) of a progress of 0…1.
QString badgeText(double progress);

}  // namespace vexal::ui
