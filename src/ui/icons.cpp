#include "ui/icons.h"

#include <QGuiApplication>
#include <QHash>
#include <QIconEngine>
#include <QPainter>
#include <QPalette>

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

// Draws a single-colour SVG in a palette colour chosen when it is drawn: the shape's
// alpha is kept, its colour replaced.
class TintedIconEngine : public QIconEngine {
 public:
  explicit TintedIconEngine(QIcon shape) : shape_(std::move(shape)) {}

  QIconEngine* clone() const override { return new TintedIconEngine(shape_); }
  QString key() const override { return QStringLiteral("vexal-tinted"); }
  QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State state) override {
    return shape_.actualSize(size, QIcon::Normal, state);
  }
  QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
    return scaledPixmap(size, mode, state, 1.0);
  }
  // `size` in device pixels.
  QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state, qreal) override {
    QImage image = shape_.pixmap(size, 1.0, QIcon::Normal, state)
                       .toImage()
                       .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QPainter p(&image);
    p.setCompositionMode(QPainter::CompositionMode_SourceIn);
    p.fillRect(image.rect(), colour(mode));
    p.end();
    return QPixmap::fromImage(std::move(image));
  }
  void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override {
    const qreal scale = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
    QPixmap shot = scaledPixmap(rect.size() * scale, mode, state, scale);
    shot.setDevicePixelRatio(scale);
    const QSize drawn = shot.deviceIndependentSize().toSize();
    painter->drawPixmap(QRect(rect.topLeft() + QPoint((rect.width() - drawn.width()) / 2,
                                                      (rect.height() - drawn.height()) / 2),
                              drawn),
                        shot);
  }

 private:
  static QColor colour(QIcon::Mode mode) {
    const QPalette palette = QGuiApplication::palette();
    switch (mode) {
      case QIcon::Selected:
        return palette.color(QPalette::HighlightedText);
      case QIcon::Disabled: {
        QColor faded = palette.color(QPalette::WindowText);
        faded.setAlphaF(0.45f);
        return faded;
      }
      default:
        return palette.color(QPalette::WindowText);
    }
  }

  QIcon shape_;
};

}  // namespace

QIcon bundledIcon(const QString& symbol) {
  ensureResources();
  QIcon shape(QStringLiteral(":/icons/%1.svg").arg(symbol));
  // Status glyphs keep their own colours (green tick, red cross).
  static const QStringList kColoured = {QStringLiteral("checkmark.circle.fill"),
                                        QStringLiteral("xmark.circle.fill")};
  if (kColoured.contains(symbol)) return shape;
  return QIcon(new TintedIconEngine(std::move(shape)));
}

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
      {"text.badge.xmark", "edit-clear-all"},
  };
  return kNames.value(symbol);
}

QIcon symbolIcon(const QString& symbol) {
  const QIcon bundled = bundledIcon(symbol);
  const QString name = freedesktopIconName(symbol);
  if (name.isEmpty()) return bundled;
  return QIcon::fromTheme(name, bundled);
}

QIcon applicationIcon() {
  ensureResources();
  const QIcon themed = QIcon::fromTheme(kApplicationID);
  if (!themed.isNull()) return themed;
  // Small sizes from the drawing made for 16 px: the large one scaled down is a blur.
  const QIcon small(QStringLiteral(":/icons/%1-16.svg").arg(kApplicationID));
  const QIcon large(QStringLiteral(":/icons/%1.svg").arg(kApplicationID));
  QIcon icon;
  for (const int size : {16, 22, 24, 32, 48, 64, 128, 256})
    icon.addPixmap((size < 32 ? small : large).pixmap(size, size));
  return icon;
}

}  // namespace vexal::ui
