#include "ui/drop_zone_view.h"

#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

#include "ui/icons.h"

namespace vexal::ui {
namespace {
constexpr int kIconSize = 64;  // px
}

DropZoneView::DropZoneView(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("DropZoneView"));
  auto* layout = new QVBoxLayout(this);
  layout->addStretch(1);
  auto* icon = new QLabel(this);
  icon->setPixmap(symbolIcon(QStringLiteral("waveform")).pixmap(kIconSize, kIconSize));
  icon->setAlignment(Qt::AlignCenter);
  auto* title = new QLabel(QStringLiteral("Drop audio files or folders here"), this);
  QFont font = title->font();
  font.setPointSizeF(font.pointSizeF() * 1.4);
  font.setWeight(QFont::DemiBold);
  title->setFont(font);
  title->setAlignment(Qt::AlignCenter);
  auto* line = new QLabel(QStringLiteral("or click Add Files/Folders in the toolbar"), this);
  line->setForegroundRole(QPalette::PlaceholderText);
  line->setAlignment(Qt::AlignCenter);
  layout->addWidget(icon);
  layout->addSpacing(8);
  layout->addWidget(title);
  layout->addWidget(line);
  layout->addStretch(1);
}

void DropZoneView::setTargeted(bool targeted) {
  if (targeted == isTargeted_) return;
  isTargeted_ = targeted;
  update();
}

void DropZoneView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF area = QRectF(rect()).adjusted(24, 24, -24, -24);
  QColor line =
      isTargeted_ ? palette().color(QPalette::Highlight) : palette().color(QPalette::WindowText);
  if (!isTargeted_) line.setAlphaF(0.22f);
  QPen pen(line, isTargeted_ ? 2.5 : 1.5, Qt::DashLine);
  pen.setDashPattern({6, 4});
  p.setPen(pen);
  QColor fill = palette().color(QPalette::Highlight);
  fill.setAlphaF(isTargeted_ ? 0.10f : 0.0f);
  p.setBrush(fill);
  p.drawRoundedRect(area, 16, 16);
}

}  // namespace vexal::ui
