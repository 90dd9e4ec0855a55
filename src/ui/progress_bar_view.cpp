#include "ui/progress_bar_view.h"

#include <QPainter>
#include <QPainterPath>
#include <algorithm>

namespace vexal::ui {

ProgressBarView::ProgressBarView(QWidget* parent, int height) : QWidget(parent), height_(height) {
  setFixedHeight(height_);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  setAccessibleName(tr("Progress"));
}

void ProgressBarView::setValue(double value) {
  value = std::clamp(value, 0.0, 1.0);
  if (value == value_) return;
  value_ = value;
  update();
}

QSize ProgressBarView::sizeHint() const {
  return {160, height_};
}

void ProgressBarView::paintBar(QPainter& painter, const QRectF& rect, double value,
                               const QPalette& palette) {
  const double radius = rect.height() / 2.0;
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  QColor track = palette.color(QPalette::WindowText);
  track.setAlphaF(0.12f);
  painter.setBrush(track);
  painter.drawRoundedRect(rect, radius, radius);
  const double filled = rect.width() * std::clamp(value, 0.0, 1.0);
  if (filled > 0) {
    // Clip to the track so a sliver at the start keeps the track's rounded end.
    QPainterPath clip;
    clip.addRoundedRect(rect, radius, radius);
    painter.setClipPath(clip);
    painter.setBrush(palette.color(QPalette::Highlight));
    painter.drawRoundedRect(QRectF(rect.left(), rect.top(), filled, rect.height()), radius, radius);
  }
  painter.restore();
}

void ProgressBarView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRectF bar(0, (height() - height_) / 2.0, width(), height_);
  paintBar(painter, bar, value_, palette());
}

}  // namespace vexal::ui
