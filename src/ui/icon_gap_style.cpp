#include "ui/icon_gap_style.h"

#include <QIconEngine>
#include <QPainter>
#include <QStyleOption>

namespace vexal::ui {
namespace {

// The icon drawn in the left part of its box, the gap on its right left empty.
class GapIconEngine : public QIconEngine {
 public:
  explicit GapIconEngine(QIcon icon) : icon_(std::move(icon)) {}
  QIconEngine* clone() const override { return new GapIconEngine(icon_); }
  void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override {
    icon_.paint(painter, rect.adjusted(0, 0, -IconGapStyle::kExtraGap, 0), Qt::AlignCenter, mode, state);
  }
  QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
    return scaledPixmap(size, mode, state, 1.0);
  }
  QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state, qreal scale) override {
    QPixmap shot(size * scale);
    shot.setDevicePixelRatio(scale);
    shot.fill(Qt::transparent);
    QPainter painter(&shot);
    paint(&painter, QRect(QPoint(), size), mode, state);
    return shot;
  }

 private:
  QIcon icon_;
};

template <typename Option>
bool widenIcon(Option& option) {
  if (option.icon.isNull() || option.text.isEmpty()) return false;
  option.icon = QIcon(new GapIconEngine(option.icon));
  option.iconSize.rwidth() += IconGapStyle::kExtraGap;
  return true;
}

}  // namespace

void IconGapStyle::drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                               const QWidget* widget) const {
  if (element == CE_PushButtonLabel) {
    if (const auto* button = qstyleoption_cast<const QStyleOptionButton*>(option)) {
      QStyleOptionButton wider = *button;
      if (widenIcon(wider)) return QProxyStyle::drawControl(element, &wider, painter, widget);
    }
  } else if (element == CE_ToolButtonLabel) {
    if (const auto* button = qstyleoption_cast<const QStyleOptionToolButton*>(option);
        button && button->toolButtonStyle == Qt::ToolButtonTextBesideIcon) {
      QStyleOptionToolButton wider = *button;
      if (widenIcon(wider)) return QProxyStyle::drawControl(element, &wider, painter, widget);
    }
  }
  QProxyStyle::drawControl(element, option, painter, widget);
}

QSize IconGapStyle::sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                                     const QWidget* widget) const {
  QSize contents = size;
  if (type == CT_PushButton) {
    if (const auto* button = qstyleoption_cast<const QStyleOptionButton*>(option);
        button && !button->icon.isNull() && !button->text.isEmpty())
      contents.rwidth() += kExtraGap;
  } else if (type == CT_ToolButton) {
    if (const auto* button = qstyleoption_cast<const QStyleOptionToolButton*>(option);
        button && button->toolButtonStyle == Qt::ToolButtonTextBesideIcon && !button->icon.isNull() &&
        !button->text.isEmpty())
      contents.rwidth() += kExtraGap;
  }
  return QProxyStyle::sizeFromContents(type, option, contents, widget);
}

}  // namespace vexal::ui
