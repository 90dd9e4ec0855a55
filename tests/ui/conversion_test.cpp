#include <QLabel>
#include <QListView>
#include <QTest>

#include "persistence/conversion_history.h"
#include "ui/convert_bar.h"
#include "ui/history_view.h"
#include "ui/job_list_model.h"
#include "ui/progress_bar_view.h"
#include "ui/sidebar_view.h"
#include "ui_test_support.h"

namespace vexal::test {
namespace {

using Kind = ConversionStatus::Kind;

class ConversionTest : public WindowTest {
 protected:
  void addTones(int count, double seconds) {
    QStringList paths;
    for (int i = 0; i < count; ++i) {
      const std::string name = "tone" + std::to_string(i) + ".wav";
      ASSERT_TRUE(writeTone(temp_ / "src" / name, seconds));
      paths << path("src/" + name);
    }
    vm().addFiles(paths);
  }
  int countStatus(Kind kind) {
    int n = 0;
    for (const auto& job : vm().jobs()) n += job->status().kind() == kind;
    return n;
  }
  void pressConvertShortcut() {
    QTest::keyClick(window_.get(), Qt::Key_Return, Qt::ControlModifier);
  }
};

TEST_F(ConversionTest, ShortcutStartsBarShowsProgressAndCancelStops) {
  addTones(4, 4.0);
  enable({OutputFormat::flac, OutputFormat::mp3});
  vm().setConcurrencyLimit(1);
  ui::ConvertBar* bar = window_->convertBar();

  pressConvertShortcut();
  ASSERT_TRUE(vm().isConverting());
  EXPECT_TRUE(bar->isShowingProgress());

  // The bar and the first job's row move while the batch runs.
  ui::JobListModel* model = window_->jobModel();
  const QModelIndex first = model->index(0, 0);
  ASSERT_TRUE(waitFor([&] {
    model->flushChanges();
    return first.data(ui::JobListModel::ProgressRole).toDouble() > 0.0;
  }));
  EXPECT_EQ(first.data(ui::JobListModel::StatusKindRole).toInt(),
            static_cast<int>(Kind::converting));
  EXPECT_EQ(bar->statusLabel()->text(), "Converting file 1/4");
  EXPECT_GT(bar->progressBar()->value(), 0.0);
  EXPECT_TRUE(window_->windowTitle().startsWith("Vexal — "))
      << window_->windowTitle().toStdString();
  EXPECT_TRUE(window_->windowTitle().endsWith("%"));

  bar->cancelButton()->click();
  EXPECT_FALSE(vm().isConverting());
  EXPECT_FALSE(bar->isShowingProgress());
  EXPECT_EQ(window_->windowTitle(), "Vexal");
  EXPECT_EQ(countStatus(Kind::cancelled), 1);
  model->flushChanges();
  EXPECT_EQ(first.data(ui::JobListModel::StatusTextRole).toString(), "Cancelled");
  ASSERT_TRUE(waitFor([&] { return vm().activeWorkerCount() == 0; }));
}

TEST_F(ConversionTest, FinishedBatchFillsTheHistoryWhichCanBeCleared) {
  addTones(2, 0.5);
  enable({OutputFormat::wav});
  pressConvertShortcut();
  ASSERT_TRUE(waitFor([&] { return !vm().isConverting(); }));
  EXPECT_EQ(countStatus(Kind::completed), 2) << vm().jobs()[0]->status().text();
  EXPECT_EQ(window_->convertBar()->convertButton()->toolTip(), "Add files to convert");

  window_->sidebar()->historyButton()->click();
  ui::HistoryView* history = window_->sidebar()->historyView();
  ASSERT_NE(history, nullptr);
  EXPECT_TRUE(history->isVisible());
  EXPECT_FALSE(history->isShowingEmptyState());
  ASSERT_EQ(history->list()->model()->rowCount(), 2);
  const QString detail =
      history->list()->model()->index(0, 0).data(ui::HistoryListModel::DetailRole).toString();
  EXPECT_TRUE(detail.contains(" -> ")) << detail.toStdString();
  EXPECT_EQ(history->list()->model()->index(0, 0).data(ui::HistoryListModel::FormatRole).toString(),
            "WAV");

  history->clearButton()->click();
  EXPECT_TRUE(vm().historyManager().entries().empty());
  EXPECT_TRUE(history->isShowingEmptyState());
  history->doneButton()->click();
  EXPECT_FALSE(history->isVisible());
}

}  // namespace
}  // namespace vexal::test
