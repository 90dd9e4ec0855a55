#pragma once

#include <QObject>

namespace vexal::ui {

// Pickers (combo boxes, spin boxes, sliders) take the mouse wheel only while they hold
// the keyboard focus; otherwise the wheel scrolls whatever holds them, so a sheet
// scrolled past a picker never changes its setting. One filter on the application,
// installed once; it also keeps pickers from taking the focus by the wheel.
class WheelGuard : public QObject {
  Q_OBJECT
 public:
  static void install();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  using QObject::QObject;
};

}  // namespace vexal::ui
