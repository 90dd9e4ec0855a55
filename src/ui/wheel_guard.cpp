#include "ui/wheel_guard.h"

#include <QAbstractScrollArea>
#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QScrollBar>
#include <QWheelEvent>

namespace vexal::ui {
namespace {

bool isPicker(const QObject* object) {
  if (qobject_cast<const QComboBox*>(object) || qobject_cast<const QAbstractSpinBox*>(object)) return true;
  // A scroll bar is what the wheel is for.
  return qobject_cast<const QAbstractSlider*>(object) && !qobject_cast<const QScrollBar*>(object);
}

// The nearest scroll area around `widget` whose viewport holds it.
QAbstractScrollArea* scrollAreaAround(QWidget* widget) {
  for (QWidget* w = widget->parentWidget(); w; w = w->parentWidget()) {
    if (auto* area = qobject_cast<QAbstractScrollArea*>(w); area && area->viewport()->isAncestorOf(widget))
      return area;
    if (w->isWindow()) break;
  }
  return nullptr;
}

}  // namespace

void WheelGuard::install() {
  auto* app = QCoreApplication::instance();
  if (!app || app->findChild<WheelGuard*>(QString(), Qt::FindDirectChildrenOnly)) return;
  app->installEventFilter(new WheelGuard(app));
}

bool WheelGuard::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Polish && isPicker(watched)) {
    // Qt's default for these is WheelFocus: the wheel would give them the focus first.
    auto* picker = static_cast<QWidget*>(watched);
    if (picker->focusPolicy() == Qt::WheelFocus) picker->setFocusPolicy(Qt::StrongFocus);
    return false;
  }
  if (event->type() != QEvent::Wheel || !isPicker(watched)) return false;
  auto* picker = static_cast<QWidget*>(watched);
  if (picker->hasFocus()) return false;
  // Handed to the scroll area itself rather than left to propagate: events sent by
  // code do not travel to parents.
  if (QAbstractScrollArea* area = scrollAreaAround(picker)) {
    const auto* wheel = static_cast<QWheelEvent*>(event);
    QWidget* viewport = area->viewport();
    const QPointF at = picker->mapTo(viewport, wheel->position());
    QWheelEvent forwarded(at, viewport->mapToGlobal(at), wheel->pixelDelta(), wheel->angleDelta(),
                          wheel->buttons(), wheel->modifiers(), wheel->phase(), wheel->inverted(),
                          wheel->source());
    QCoreApplication::sendEvent(viewport, &forwarded);
  }
  event->accept();
  return true;
}

}  // namespace vexal::ui
