#pragma once

#include <QWidget>

class QPainter;

namespace vexal::ui {

// A rounded track with a filled part `value` × the width; shared with the job list's
// delegate, which draws the same bar inside its rows.
class ProgressBarView : public QWidget {
  Q_OBJECT
 public:
  explicit ProgressBarView(QWidget* parent = nullptr, int height = 6);

  double value() const { return value_; }
  void setValue(double value);  // clamped to 0…1
  QSize sizeHint() const override;

  static void paintBar(QPainter& painter, const QRectF& rect, double value,
                       const QPalette& palette);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  double value_ = 0.0;
  int height_;
};

}  // namespace vexal::ui
