#include "ui/format_row_accessible.h"

#include <QAccessibleWidget>
#include <QToolButton>

#include "ui/sidebar_view.h"

namespace vexal::ui {
namespace {

class FormatRowAccessible : public QAccessibleWidget {
 public:
  explicit FormatRowAccessible(FormatRow* row) : QAccessibleWidget(row, QAccessible::CheckBox) {}

  QAccessible::State state() const override {
    QAccessible::State state = QAccessibleWidget::state();
    state.checkable = true;
    state.checked = row()->isChosen();
    state.expandable = row()->isChosen();
    state.expanded = row()->isUnfolded();
    return state;
  }
  // The tick and the chevron are drawn parts of the row, not controls of their own.
  int childCount() const override { return 0; }
  QAccessibleInterface* child(int) const override { return nullptr; }
  int indexOfChild(const QAccessibleInterface*) const override { return -1; }
  QAccessibleInterface* childAt(int, int) const override { return nullptr; }

  QStringList actionNames() const override {
    QStringList names{toggleAction()};
    if (row()->isChosen()) names << (row()->isUnfolded() ? decreaseAction() : increaseAction());
    return names + QAccessibleWidget::actionNames();
  }
  QString localizedActionDescription(const QString& name) const override {
    if (name == increaseAction()) return QObject::tr("Show options");
    if (name == decreaseAction()) return QObject::tr("Hide options");
    return QAccessibleWidget::localizedActionDescription(name);
  }
  QStringList keyBindingsForAction(const QString& name) const override {
    if (name == toggleAction()) return {QStringLiteral("Space")};
    if (name == increaseAction()) return {QStringLiteral("Right")};
    if (name == decreaseAction()) return {QStringLiteral("Left")};
    return QAccessibleWidget::keyBindingsForAction(name);
  }
  void doAction(const QString& name) override {
    if (name == toggleAction()) {
      emit row()->toggleRequested(row()->format());
    } else if (name == increaseAction() || name == decreaseAction()) {
      emit row()->unfoldRequested(row()->format(), name == increaseAction());
    } else {
      QAccessibleWidget::doAction(name);
    }
  }

 private:
  FormatRow* row() const { return static_cast<FormatRow*>(widget()); }
};

QAccessibleInterface* formatRowFactory(const QString&, QObject* object) {
  if (auto* row = qobject_cast<FormatRow*>(object)) return new FormatRowAccessible(row);
  return nullptr;
}

}  // namespace

void installFormatRowAccessibility() {
  static const bool installed = [] {
    QAccessible::installFactory(formatRowFactory);
    return true;
  }();
  (void)installed;
}

}  // namespace vexal::ui
