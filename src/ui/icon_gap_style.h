#pragma once

#include <QProxyStyle>

namespace vexal::ui {

// The desktop's style with a wider gap between a button's icon and its label: Qt's own
// 4 px reads as touching at larger fonts and scales. Everything else is the style's.
class IconGapStyle : public QProxyStyle {
  Q_OBJECT
 public:
  static constexpr int kExtraGap = 3;  // px beside the style's own

  using QProxyStyle::QProxyStyle;

  void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                   const QWidget* widget = nullptr) const override;
  QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                         const QWidget* widget = nullptr) const override;
};

}  // namespace vexal::ui
