#include "ui/colors.h"

#include <cmath>

namespace vexal::ui {
namespace {

constexpr double kGraphicContrast = 3.0;  // WCAG 1.4.11, non-text contrast

double channel(double value) {
  return value <= 0.04045 ? value / 12.92 : std::pow((value + 0.055) / 1.055, 2.4);
}

double luminance(const QColor& colour) {
  return 0.2126 * channel(colour.redF()) + 0.7152 * channel(colour.greenF()) +
         0.0722 * channel(colour.blueF());
}

QColor mixed(const QColor& a, const QColor& b, double t) {
  return QColor::fromRgbF(static_cast<float>(a.redF() + (b.redF() - a.redF()) * t),
                          static_cast<float>(a.greenF() + (b.greenF() - a.greenF()) * t),
                          static_cast<float>(a.blueF() + (b.blueF() - a.blueF()) * t));
}

}  // namespace

double contrastRatio(const QColor& a, const QColor& b) {
  const double la = luminance(a);
  const double lb = luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor composited(const QColor& top, const QColor& over) {
  QColor opaque = top;
  opaque.setAlphaF(1.0f);
  return mixed(over, opaque, top.alphaF());
}

QColor errorColor(const QPalette& palette) {
  const bool dark = luminance(palette.color(QPalette::Base)) < 0.2;
  return dark ? QColor(0xf6, 0x61, 0x51) : QColor(0xc0, 0x1c, 0x28);
}

QColor visibleAccent(const QPalette& palette, double alpha) {
  const QColor window = palette.color(QPalette::Window);
  const QColor accent = palette.color(QPalette::Highlight);
  const QColor text = palette.color(QPalette::WindowText);
  for (int step = 0; step <= 10; ++step) {
    QColor candidate = mixed(accent, text, step / 10.0);
    candidate.setAlphaF(static_cast<float>(alpha));
    if (contrastRatio(composited(candidate, window), window) >= kGraphicContrast) return candidate;
  }
  QColor fallback = text;
  fallback.setAlphaF(static_cast<float>(alpha));
  return fallback;
}

}  // namespace vexal::ui
