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

void FocusRing::watchAncestors(bool watch) {
  // The control moves on screen when it or any widget holding it moves (a scrolled
  // sidebar, a dragged splitter), so all of them are watched.
  for (QWidget* w = target_; w && w != parentWidget(); w = w->parentWidget()) {
    if (watch) {
      w->installEventFilter(this);
    } else {
      w->removeEventFilter(this);
    }
  }
}

void FocusRing::follow(QWidget* widget) {
  watchAncestors(false);
  // Only what the keyboard walks through; a window or a popup menu needs no ring.
  const bool ringed = widget && parentWidget() && parentWidget()->isAncestorOf(widget) &&
                      (widget->focusPolicy() & Qt::TabFocus);
  target_ = ringed ? widget : nullptr;
  if (!target_) {
    hide();
    return;
  }
  watchAncestors(true);
  place();
}

void FocusRing::place() {
  if (!target_ || !target_->isVisible()) {
    hide();
    return;
  }
  QWidget* host = parentWidget();
  // The part of the control its scroll areas and panes let show (clipped by each widget
  // holding it; not visibleRegion, which leaves out a list's own viewport), just outside
  // it, kept inside the window so no edge is cut off.
  QRect shown(target_->mapTo(host, QPoint(0, 0)), target_->size());
  for (QWidget* holder = target_->parentWidget(); holder && holder != host; holder = holder->parentWidget())
    shown &= QRect(holder->mapTo(host, QPoint(0, 0)), holder->size());
  if (shown.isEmpty()) {
    hide();
    return;
  }
  setGeometry(shown.adjusted(-kWidth, -kWidth, kWidth, kWidth) & host->rect());
  show();
  raise();
  update();
}

bool FocusRing::eventFilter(QObject* watched, QEvent* event) {
  if (target_) {
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
