#pragma once

#include <QWidget>

namespace vexal::ui {

// The empty state: an invitation to drop files, highlighted while a drag hovers.
class DropZoneView : public QWidget {
  Q_OBJECT
 public:
  explicit DropZoneView(QWidget* parent = nullptr);

  bool isTargeted() const { return isTargeted_; }
  void setTargeted(bool targeted);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  bool isTargeted_ = false;
};

}  // namespace vexal::ui
