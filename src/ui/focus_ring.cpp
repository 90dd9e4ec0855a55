#include "ui/focus_ring.h"

#include <QApplication>
#include <QEvent>
#include <QPainter>

namespace vexal::ui {

FocusRing::FocusRing(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("FocusRing"));
  setAttribute(Qt::WA_TransparentForMouseEvents);
  setAttribute(Qt::WA_NoSystemBackground);
  setFocusPolicy(Qt::NoFocus);
  hide();
  connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) { follow(now); });
}

void FocusRing::follow(QWidget* widget) {
  if (target_) target_->removeEventFilter(this);
  // Only what the keyboard walks through; a window or a popup menu needs no ring.
  const bool ringed = widget && widget->parentWidget() && !widget->isWindow() &&
                      (widget->focusPolicy() & Qt::TabFocus) && widget->window() == window();
  target_ = ringed ? widget : nullptr;
  if (!target_) {
    hide();
    return;
  }
  target_->installEventFilter(this);
  place();
}

void FocusRing::place() {
  if (!target_ || !target_->isVisible()) {
    hide();
    return;
  }
  QWidget* host = target_->parentWidget();
  if (parentWidget() != host) setParent(host);
  // Just outside the control, kept inside its parent so no edge is cut off.
  setGeometry(target_->geometry().adjusted(-kWidth, -kWidth, kWidth, kWidth) & host->rect());
  show();
  raise();
  update();
}

bool FocusRing::eventFilter(QObject* watched, QEvent* event) {
  if (watched == target_) {
    switch (event->type()) {
      case QEvent::Move:
      case QEvent::Resize:
      case QEvent::Show:
      case QEvent::Hide:
        place();
        break;
      default:
        break;
    }
  }
  return QWidget::eventFilter(watched, event);
}

void FocusRing::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(palette().color(QPalette::Active, QPalette::Highlight), kWidth));
  p.setBrush(Qt::NoBrush);
  const qreal inset = kWidth / 2.0;
  p.drawRoundedRect(QRectF(rect()).adjusted(inset, inset, -inset, -inset), 4, 4);
}

}  // namespace vexal::ui
