// The window at the end of a batch: its list's context menu and retries.

#include <gmock/gmock.h>

#include <QContextMenuEvent>
#include <QLabel>
#include <QTest>
#include <fstream>

#include "orchestration/orchestration_helpers.h"
#include "ui/convert_bar.h"
#include "ui/file_tree_view.h"
#include "ui/job_list_model.h"
#include "ui/metadata_panel.h"
#include "ui_test_support.h"

namespace vexal::test {
namespace {

using Kind = ConversionStatus::Kind;

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
    QTest::mouseClick(window_->convertBar()->convertButton(), Qt::LeftButton);
    ASSERT_TRUE(waitForBatch(vm()));
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
  // Chooses `action` in the context menu of the row `name`.
  void choose(const char* name, const QString& action) {
    QMenu* menu = openMenu(rowOf(name));
    ASSERT_NE(menu, nullptr);
    ASSERT_TRUE(findAction(menu, action)->isEnabled());
    findAction(menu, action)->trigger();
    menu->close();
  }

  FakeEngine engine_;
  QStringList shown_;
};

TEST_F(EndOfBatch, ContextMenuRetriesAndRemovesAndClearFinishedKeepsPending) {
  run();
  window_->convertBar()->refresh();
  EXPECT_EQ(window_->convertBar()->summaryLabel()->text(), "2 converted, 1 failed");
  choose("bad", "Retry");
  EXPECT_EQ(vm().jobs()[2]->status().kind(), Kind::pending);

  // A completed job cannot be retried; Show in Folder shows its output.
  QMenu* menu = openMenu(rowOf("one"));
  ASSERT_NE(menu, nullptr);
  EXPECT_FALSE(findAction(menu, "Retry")->isEnabled());
  menu->close();
  choose("one", "Show in Folder");
  ASSERT_EQ(shown_.size(), 1);
  EXPECT_TRUE(shown_.front().endsWith("one.wav"));
  EXPECT_TRUE(shown_.front().startsWith(path("out")));

  choose("two", "Remove");
  ASSERT_EQ(vm().jobs().size(), 2u);

  ASSERT_TRUE(window_->clearFinishedAction()->isEnabled());
  window_->clearFinishedAction()->trigger();
  ASSERT_EQ(vm().jobs().size(), 1u);
  EXPECT_EQ(vm().jobs()[0]->fileName(), "bad");
  EXPECT_FALSE(window_->clearFinishedAction()->isEnabled());
}

// The notice's Show in Folder selects the outputs, not the destination in its parent.
TEST_F(EndOfBatch, NoticeShowsTheOutputsAndShiftF10OpensTheRowMenu) {
  run();
  emit vm().showFolderRequested(path("out"));
  EXPECT_THAT(shown_, testing::UnorderedElementsAre(path("out/one.wav"), path("out/two.wav")));

  clickRow(rowOf("two"));
  QTest::keyClick(window_->fileTree(), Qt::Key_F10, Qt::ShiftModifier);
  auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
  ASSERT_NE(menu, nullptr);
  findAction(menu, "Show in Folder")->trigger();
  menu->close();
  EXPECT_THAT(shown_, testing::ElementsAre(path("out/two.wav")));
}

// A file that could not be read, replaced and retried: the panel reads it again.
TEST_F(EndOfBatch, RetryReadsTheSourceAgainForThePanel) {
  std::ofstream(temp_ / "bad.wav") << "not audio";
  run();
  clickRow(rowOf("bad"));
  ui::MetadataPanel* panel = window_->metadataPanel();
  ASSERT_TRUE(waitFor([&] { return !panel->isLoading(); }));
  ASSERT_EQ(panel->rows().front().second, "Unknown");
  writeWav(temp_ / "bad.wav", 441);
  vm().retryJobs({vm().jobs()[2]->id()});
  ASSERT_TRUE(waitFor([&] { return !panel->isLoading(); }));
  EXPECT_NE(panel->rows().front().second, "Unknown");
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
  choose("one", "Retry");
  EXPECT_EQ(vm().jobs()[0]->status().kind(), Kind::pending);
  EXPECT_EQ(vm().remainingCount(), 3);
}

}  // namespace
}  // namespace vexal::test
