#pragma once

#include <QString>

namespace vexal {

// Shows a notice through the desktop's notification service (org.freedesktop.Notifications
// on the session bus). Asynchronous; without a session bus or service nothing happens.
void postDesktopNotice(const QString& title, const QString& body);

}  // namespace vexal
