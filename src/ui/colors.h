#pragma once

#include <QColor>
#include <QPalette>

namespace vexal::ui {

// WCAG contrast ratio of two opaque colours, 1 ... 21.
double contrastRatio(const QColor& a, const QColor& b);
// `over` seen through `top` at its alpha.
QColor composited(const QColor& top, const QColor& over);

// Red for failures, readable on the palette's base: a darker red on light palettes, a
// lighter one on dark.
QColor errorColor(const QPalette& palette);
// The accent (highlight) colour, moved toward the text colour until, at `alpha` over
// the window colour, it stands out at least 3:1 (the accent of a dark theme is often
// too dark to draw with as it is).
QColor visibleAccent(const QPalette& palette, double alpha);

}  // namespace vexal::ui
