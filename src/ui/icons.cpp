#include "ui/icons.h"

#include <QHash>

// Resources of a static library must be registered by hand; the macro may not
// appear inside a namespace.
static void registerBundledIcons() {
  Q_INIT_RESOURCE(icons);
}

namespace vexal::ui {
namespace {

const QString kApplicationID = QStringLiteral("io.github.vexal.Vexal");

void ensureResources() {
  static const bool registered = [] {
    registerBundledIcons();
    return true;
  }();
  (void)registered;
}

}  // namespace

QString freedesktopIconName(const QString& symbol) {
  static const QHash<QString, QString> kNames = {
      {"plus", "list-add"},
      {"folder", "folder"},
      {"waveform", "audio-x-generic"},
      {"arrow.triangle.2.circlepath", "view-refresh"},
      {"stop.fill", "media-playback-stop"},
      {"chevron.down", "pan-down-symbolic"},
      {"chevron.up", "pan-up-symbolic"},
      {"eye.fill", "view-reveal-symbolic"},
      {"slider.horizontal.3", "preferences-other"},
      {"clock", "document-open-recent"},
      {"gearshape", "preferences-system"},
      {"checkmark.circle.fill", "emblem-default"},
      {"xmark.circle.fill", "dialog-error"},
  };
  return kNames.value(symbol);
}

QIcon symbolIcon(const QString& symbol) {
  ensureResources();
  const QIcon bundled(QStringLiteral(":/icons/%1.svg").arg(symbol));
  const QString name = freedesktopIconName(symbol);
  if (name.isEmpty()) return bundled;
  return QIcon::fromTheme(name, bundled);
}

QIcon applicationIcon() {
  ensureResources();
  return QIcon::fromTheme(kApplicationID,
                          QIcon(QStringLiteral(":/icons/%1.svg").arg(kApplicationID)));
}

}  // namespace vexal::ui
