#pragma once

#include <QPointer>
#include <QWidget>

namespace vexal::ui {

// A ring in the accent colour around whichever control inside its parent holds the
// keyboard focus, so every control shows where Tab went whatever the style draws (some
// draw nothing for an item view or a default button). It stays a child of that parent
// and is placed over the control, never reparented (a splitter would take it as a pane).
class FocusRing : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kWidth = 2;  // px

  explicit FocusRing(QWidget* parent = nullptr);
  QWidget* target() const { return target_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  void follow(QWidget* widget);
  void watchAncestors(bool watch);
  void place();

  QPointer<QWidget> target_;
};

}  // namespace vexal::ui
