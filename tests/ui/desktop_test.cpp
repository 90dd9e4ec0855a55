// The window as keyboard users, dark desktops, small screens and finished batches meet it.

#include <QContextMenuEvent>
#include <QLabel>
#include <QLineEdit>
#include <QSplitter>
#include <QTest>
#include <QToolButton>

#include "orchestration/orchestration_helpers.h"
#include "ui/convert_bar.h"
#include "ui/file_tree_view.h"
#include "ui/focus_ring.h"
#include "ui/history_view.h"
#include "ui/icons.h"
#include "ui/job_list_model.h"
#include "ui/metadata_panel.h"
#include "ui/settings_panel.h"
#include "ui/sidebar_view.h"
#include "ui/waveform_view.h"
#include "ui_test_support.h"

namespace vexal::test {
namespace {

using ui::ContentView;
using ui::JobListModel;
using ui::SidebarView;
using Kind = ConversionStatus::Kind;

QWidget* focused() {
  return QApplication::focusWidget();
}

// Presses Tab until the focus comes back to where it started; the widgets in between.
QList<QWidget*> tabWalk(QWidget* start) {
  start->setFocus(Qt::TabFocusReason);
  QList<QWidget*> visited{focused()};
  for (int i = 0; i < 100; ++i) {
    QTest::keyClick(focused(), Qt::Key_Tab);
    if (focused() == visited.front()) break;
    visited << focused();
  }
  return visited;
}

TEST_F(WindowTest, TabReachesEveryControlWithNameAndFrame) {
  vm().addFiles({path("a.wav")});
  enable({OutputFormat::mp3});
  window_->sidebar()->setExpandedFormat(OutputFormat::mp3);
  QWidget* first = window_->findChild<QWidget*>("addFilesButton");
  ASSERT_NE(first, nullptr);
  const QList<QWidget*> walk = tabWalk(first);

  EXPECT_GE(walk.size(), 15);  // every control, the format rows and MP3's options included
  for (QWidget* widget : walk) {
    SCOPED_TRACE(widget->objectName().toStdString());
    EXPECT_FALSE(widget->accessibleName().isEmpty());
    EXPECT_FALSE(widget->accessibleDescription().isEmpty());
  }
  // Every stop shows the ring, on the way back too.
  QTest::keyClick(focused(), Qt::Key_Backtab);
  EXPECT_EQ(focused()->objectName(), "convertButton");
  ASSERT_EQ(window_->focusRing()->target(), focused());
  EXPECT_TRUE(window_->focusRing()->isVisible());
  QWidget* host = window_->focusRing()->parentWidget();
  const QRect control(focused()->mapTo(host, QPoint(0, 0)), focused()->size());
  EXPECT_TRUE(window_->focusRing()->geometry().contains(control.adjusted(1, 1, -1, -1)));
  // Around the list, the ring does not become a pane of the list's splitter.
  window_->fileTree()->setFocus(Qt::TabFocusReason);
  ASSERT_EQ(window_->focusRing()->target(), window_->fileTree());
  EXPECT_EQ(window_->findChild<QSplitter*>("jobsSplitter")->count(), 2);
}

// --- The end of a batch ---

class EndOfBatch : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    for (const char* name : {"one.wav", "two.wav", "bad.wav"}) writeWav(temp_ / name, 441);
    vm().addFiles({path("one.wav"), path("two.wav"), path("bad.wav")});
    enable({OutputFormat::wav});
    vm().setConcurrencyLimit(1);
    engine_.failWhen = [](const FakeEngine::Call& call) {
      return call.source.filename() == "bad.wav";
    };
    vm().setConvertFunction(engine_.function());
    window_->setFolderShower([this](const QStringList& paths) {
      shown_ = paths;
      return true;
    });
  }
  void run() {
    QObject::connect(&vm(), &ConverterViewModel::jobChanged, window_.get(),
                     [this](const Uuid&, ConversionJob::Field field) {
                       if (field != ConversionJob::Field::status || !vm().isConverting()) return;
                       window_->convertBar()->refresh();
                       progressTexts_ << window_->convertBar()->statusLabel()->text();
                     });
    QTest::mouseClick(window_->convertBar()->convertButton(), Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return !vm().isConverting() && vm().activeWorkerCount() == 0; }));
  }
  QModelIndex rowOf(const char* name) {
    for (int row = 0; row < window_->jobModel()->rowCount(); ++row) {
      const QModelIndex index = window_->jobModel()->index(row, 0);
      if (index.data().toString() == name) return index;
    }
    return {};
  }
  QMenu* openMenu(const QModelIndex& index) {
    auto* tree = window_->fileTree();
    const QPoint at = tree->visualRect(index).center();
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, tree->viewport()->mapToGlobal(at));
    QApplication::sendEvent(tree->viewport(), &event);
    return qobject_cast<QMenu*>(QApplication::activePopupWidget());
  }

  FakeEngine engine_;
  QStringList shown_;
  QStringList progressTexts_;
};

TEST_F(EndOfBatch, SummaryCountsAndShowInFolder) {
  run();
  // The count rises with each job started, up to the batch's size.
  EXPECT_EQ(progressTexts_.front(), "Converting file 1/3");
  EXPECT_TRUE(progressTexts_.contains("Converting file 3/3"));
  window_->convertBar()->refresh();
  EXPECT_EQ(window_->convertBar()->summaryLabel()->text(), "2 converted, 1 failed");
  QPushButton* show = window_->convertBar()->showInFolderButton();
  ASSERT_TRUE(show->isVisible());
  QTest::mouseClick(show, Qt::LeftButton);
  ASSERT_EQ(shown_.size(), 2);
  for (const QString& shownPath : shown_) EXPECT_TRUE(shownPath.startsWith(path("out")));
}

TEST_F(EndOfBatch, ContextMenuRetriesAndRemovesAndClearFinishedKeepsPending) {
  run();
  QMenu* menu = openMenu(rowOf("bad"));
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(actionTexts(menu),
            (QStringList{"Show in Folder", "Retry", "Remove", "---", "Clear Finished"}));
  findAction(menu, "Retry")->trigger();
  menu->close();
  EXPECT_EQ(vm().jobs()[2]->status().kind(), Kind::pending);

  // A completed job cannot be retried; Show in Folder shows its output.
  menu = openMenu(rowOf("one"));
  ASSERT_NE(menu, nullptr);
  EXPECT_FALSE(findAction(menu, "Retry")->isEnabled());
  findAction(menu, "Show in Folder")->trigger();
  menu->close();
  ASSERT_EQ(shown_.size(), 1);
  EXPECT_TRUE(shown_.front().endsWith("one.wav"));
  EXPECT_TRUE(shown_.front().startsWith(path("out")));

  menu = openMenu(rowOf("two"));
  findAction(menu, "Remove")->trigger();
  menu->close();
  ASSERT_EQ(vm().jobs().size(), 2u);

  ASSERT_TRUE(window_->clearFinishedAction()->isEnabled());
  window_->clearFinishedAction()->trigger();
  ASSERT_EQ(vm().jobs().size(), 1u);
  EXPECT_EQ(vm().jobs()[0]->fileName(), "bad");
  EXPECT_FALSE(window_->clearFinishedAction()->isEnabled());
}

TEST_F(EndOfBatch, CancelledJobsCanBeRetried) {
  engine_.delay = std::chrono::milliseconds(5000);
  vm().startConversion();
  ASSERT_TRUE(waitFor([&] { return vm().convertingCount() == 1; }));
  vm().cancelConversion();
  ASSERT_TRUE(waitFor([&] { return vm().activeWorkerCount() == 0; }));
  ASSERT_TRUE(ui::isCancelled(vm().jobs()[0]->status()));
  window_->convertBar()->refresh();
  EXPECT_EQ(window_->convertBar()->summaryLabel()->text(), "0 converted, 1 cancelled");
  QMenu* menu = openMenu(rowOf("one"));
  ASSERT_NE(menu, nullptr);
  ASSERT_TRUE(findAction(menu, "Retry")->isEnabled());
  findAction(menu, "Retry")->trigger();
  menu->close();
  EXPECT_EQ(vm().jobs()[0]->status().kind(), Kind::pending);
  EXPECT_EQ(vm().remainingCount(), 3);
}

}  // namespace
}  // namespace vexal::test
