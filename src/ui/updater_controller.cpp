#include "ui/updater_controller.h"

#include <QDesktopServices>
#include <QUrl>

#ifndef VEXAL_UPDATE_KEY
#define VEXAL_UPDATE_KEY ""
#endif

namespace vexal::ui {

UpdaterController::UpdaterController(QString updateKey) {
  if (!updateKey.trimmed().isEmpty()) controller_ = Controller{std::move(updateKey)};
}

QString UpdaterController::compiledUpdateKey() {
  return QStringLiteral(VEXAL_UPDATE_KEY);
}

QString UpdaterController::releasesUrl() {
  return QStringLiteral("https://github.com/vexal/vexal/releases");
}

bool UpdaterController::checkForUpdates() const {
  if (!controller_) return false;
  return QDesktopServices::openUrl(QUrl(releasesUrl()));
}

}  // namespace vexal::ui
