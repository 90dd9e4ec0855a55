#pragma once

#include <QPointer>
#include <QWidget>

namespace vexal::ui {

// A ring in the accent colour around whichever widget holds the keyboard focus, so
// every control shows where Tab went whatever the style draws (some draw nothing for
// an item view or a default button). Follows the focus across the application.
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
  void place();

  QPointer<QWidget> target_;
};

}  // namespace vexal::ui
