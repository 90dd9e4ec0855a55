// What a screen reader finds: the accessible tree on the offscreen platform.

#include <gmock/gmock.h>

#include <QAccessible>
#include <QLabel>
#include <QTest>
#include <QToolBar>
#include <QToolButton>

#include "ui/convert_bar.h"
#include "ui/file_tree_view.h"
#include "ui/focus_ring.h"
#include "ui/job_list_model.h"
#include "ui/metadata_panel.h"
#include "ui/sidebar_view.h"
#include "ui_test_support.h"

namespace vexal::test {
namespace {

using AccessibleWindow = WindowTest;

TEST_F(AccessibleWindow, AFormatRowIsACheckBoxWhoseStateFlipsOnSpace) {
  ui::FormatRow* flac = window_->sidebar()->formatRow(OutputFormat::flac);
  QAccessibleInterface* row = QAccessible::queryAccessibleInterface(flac);
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(row->role(), QAccessible::CheckBox);
  EXPECT_EQ(row->text(QAccessible::Name), "FLAC");
  EXPECT_TRUE(row->state().checkable);
  EXPECT_TRUE(row->state().focusable);
  EXPECT_FALSE(row->state().checked);
  flac->setFocus();
  EXPECT_TRUE(row->state().focused);
  QTest::keyClick(flac, Qt::Key_Space);
  EXPECT_TRUE(row->state().checked);
  // Its own toggle action, as a screen reader presses it.
  ASSERT_NE(row->actionInterface(), nullptr);
  row->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
  EXPECT_FALSE(row->state().checked);
  EXPECT_FALSE(vm().settings().enabledFormats.contains(OutputFormat::flac));
}

// A list cell is focused only while the list holds the focus; the failed job's reason
// is read from the panel's error text.
TEST_F(AccessibleWindow, ListCellsReportFocusOnlyWithTheListAndTheErrorIsRead) {
  writeWav(temp_ / "a.wav", 441);
  vm().addFiles({path("a.wav"), path("gone.wav")});
  vm().jobs()[1]->setStatus(ConversionStatus::failed(ConversionError::fileNotReadable(path("gone.wav").toStdString())));
  ui::FileTreeView* tree = window_->fileTree();
  clickRow(window_->jobModel()->index(1, 0));
  QAccessibleInterface* list = QAccessible::queryAccessibleInterface(tree);
  ASSERT_NE(list, nullptr);
  const auto cellOf = [&](const QString& name) -> QAccessibleInterface* {
    for (int i = 0; i < list->childCount(); ++i) {
      if (list->child(i)->text(QAccessible::Name) == name) return list->child(i);
    }
    return nullptr;
  };
  ASSERT_NE(cellOf("gone"), nullptr);
  EXPECT_TRUE(cellOf("gone")->state().focused);
  window_->destinationButton()->setFocus();
  EXPECT_FALSE(cellOf("gone")->state().focused);
  EXPECT_TRUE(cellOf("gone")->state().selected);
  EXPECT_EQ(window_->metadataPanel()->job(), vm().jobs()[1]);
  tree->setFocus();
  EXPECT_TRUE(cellOf("gone")->state().focused);

  QAccessibleInterface* error = QAccessible::queryAccessibleInterface(window_->metadataPanel()->errorLabel());
  EXPECT_THAT(error->text(QAccessible::Name).toStdString(), testing::HasSubstr("Cannot read file"));
}

// The focus ring rings the list, and follows it when Delete folds the metadata panel.
TEST_F(AccessibleWindow, TheFocusRingFollowsTheListAfterDelete) {
  writeWav(temp_ / "a.wav", 441);
  vm().addFiles({path("a.wav"), path("b.wav")});
  ui::FileTreeView* tree = window_->fileTree();
  clickRow(window_->jobModel()->index(0, 0));
  tree->setFocus();
  QCoreApplication::processEvents();
  const int narrow = tree->width();
  QTest::keyClick(tree, Qt::Key_Delete);
  QCoreApplication::processEvents();
  ASSERT_GT(tree->width(), narrow) << "the panel did not fold";
  const QWidget* ring = window_->focusRing();
  const QRect around(tree->mapTo(ring->parentWidget(), QPoint(0, 0)), tree->size());
  EXPECT_TRUE(ring->isVisible());
  EXPECT_EQ(ring->geometry(), around.adjusted(-ui::FocusRing::kWidth, -ui::FocusRing::kWidth, ui::FocusRing::kWidth,
                                              ui::FocusRing::kWidth) &
                                  ring->parentWidget()->rect());
}

// At the smallest window every control is on screen, named, and on the Tab path; the
// list keeps room to read (the metadata panel folds instead).
TEST_F(AccessibleWindow, EveryControlIsNamedAndReachableAtTheSmallestSize) {
  writeWav(temp_ / "a.wav", 441);
  vm().addFiles({path("a.wav")});
  enable({OutputFormat::mp3});
  window_->resize(window_->minimumSize());
  ui::FileTreeView* tree = window_->fileTree();
  clickRow(window_->jobModel()->index(0, 0));
  QCoreApplication::processEvents();
  EXPECT_GE(tree->width(), 300);
  const int panel = window_->findChild<QWidget*>("metadataScroll")->width();
  EXPECT_TRUE(panel == 0 || panel >= window_->metadataPanel()->minimumWidth()) << panel;

  auto* more = window_->findChild<QToolButton*>("qt_toolbar_ext_button");
  EXPECT_TRUE(more == nullptr || !more->isVisible()) << "a tool went into the overflow menu";
  std::set<QWidget*> reached;
  QWidget* first = window_->findChild<QWidget*>("addFilesButton");
  first->setFocus(Qt::TabFocusReason);
  for (QWidget* at = first; at && reached.insert(at).second; at = QApplication::focusWidget()) {
    QAccessibleInterface* control = QAccessible::queryAccessibleInterface(at);
    EXPECT_FALSE(control->text(QAccessible::Name).isEmpty()) << at->metaObject()->className() << " "
                                                             << at->objectName().toStdString();
    QTest::keyClick(at, Qt::Key_Tab);
  }
  for (QWidget* control : std::initializer_list<QWidget*>{
           first, window_->destinationButton(), window_->sidebar()->formatRow(OutputFormat::mp3),
           window_->sidebar()->settingsButton(), tree, window_->convertBar()->convertButton()}) {
    EXPECT_TRUE(reached.contains(control)) << control->objectName().toStdString();
    EXPECT_TRUE(control->isVisible()) << control->objectName().toStdString();
  }
}

}  // namespace
}  // namespace vexal::test
