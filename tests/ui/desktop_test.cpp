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

TEST_F(WindowTest, FormatRowsAnswerSpaceRightAndLeft) {
  SidebarView* sidebar = window_->sidebar();
  ui::FormatRow* flac = sidebar->formatRow(OutputFormat::flac);
  QToolButton* header = sidebar->convertToHeader();
  header->setFocus(Qt::TabFocusReason);
  for (int i = 0; i < 10 && focused() != flac; ++i) QTest::keyClick(focused(), Qt::Key_Tab);
  ASSERT_EQ(focused(), flac);

  QTest::keyClick(flac, Qt::Key_Space);
  EXPECT_TRUE(vm().settings().enabledFormats.contains(OutputFormat::flac));
  QTest::keyClick(flac, Qt::Key_Right);
  EXPECT_EQ(sidebar->expandedFormat(), OutputFormat::flac);
  EXPECT_TRUE(sidebar->formatSettingsView()->isVisible());
  // The options come next in the Tab order, then the next format.
  QTest::keyClick(flac, Qt::Key_Tab);
  EXPECT_EQ(focused(), sidebar->formatSettingsView()->sampleRateButton());
  QTest::keyClick(flac, Qt::Key_Left);
  EXPECT_EQ(sidebar->expandedFormat(), std::nullopt);
  QTest::keyClick(flac, Qt::Key_Space);
  EXPECT_FALSE(vm().settings().enabledFormats.contains(OutputFormat::flac));
  // A format that is off has no options to unfold.
  QTest::keyClick(flac, Qt::Key_Right);
  EXPECT_EQ(sidebar->expandedFormat(), std::nullopt);
}

TEST_F(WindowTest, EscapeClosesThePanelAndTheSheets) {
  vm().addFiles({path("a.wav")});
  window_->fileTree()->setFocus();
  window_->fileTree()->setCurrentIndex(window_->jobModel()->index(0, 0));
  ASSERT_TRUE(window_->metadataPanel()->isVisible());
  QTest::keyClick(window_->fileTree(), Qt::Key_Escape);
  EXPECT_FALSE(window_->metadataPanel()->isVisible());

  SidebarView* sidebar = window_->sidebar();
  sidebar->showSettings();
  sidebar->showHistory();
  for (QDialog* sheet :
       std::initializer_list<QDialog*>{sidebar->historyView(), sidebar->settingsPanel()}) {
    sheet->show();
    ASSERT_TRUE(sheet->isVisible());
    QTest::keyClick(sheet, Qt::Key_Escape);
    EXPECT_FALSE(sheet->isVisible()) << sheet->objectName().toStdString();
  }
}

// --- Fitting the screen ---

struct ScreenCase {
  QSize available;  // logical pixels (a 1600×1000 screen at scale 2 is 800×500)
  QSize opened;
};

class FittedSize : public ::testing::TestWithParam<ScreenCase> {};

TEST_P(FittedSize, OpensWithinNinetyPercentOfTheScreen) {
  const QSize minimum(ContentView::kMinimumWidth, ContentView::kMinimumHeight);
  EXPECT_EQ(ContentView::fittedSize({ContentView::kDefaultWidth, ContentView::kDefaultHeight},
                                    minimum, GetParam().available),
            GetParam().opened);
}

INSTANTIATE_TEST_SUITE_P(Screens, FittedSize,
                         ::testing::Values(ScreenCase{{1280, 720}, {1152, 648}},
                                           ScreenCase{{800, 500}, {720, 480}},
                                           ScreenCase{{600, 400}, {600, 400}}));

TEST_F(WindowTest, ShrinksTo640By480WithEverythingShown) {
  vm().addFiles({path("a.wav"), path("b.wav")}, QString("Album"));
  enable({OutputFormat::mp3, OutputFormat::flac});
  window_->sidebar()->setExpandedFormat(OutputFormat::mp3);
  window_->fileTree()->setCurrentIndex(
      window_->jobModel()->index(0, 0, window_->jobModel()->index(0, 0)));
  ASSERT_TRUE(window_->metadataPanel()->isVisible());
  const QRect screen = window_->screen()->availableGeometry();
  EXPECT_LE(window_->width(), screen.width() * 9 / 10);
  EXPECT_LE(window_->height(), screen.height() * 9 / 10);

  window_->resize(640, 480);
  QCoreApplication::processEvents();
  EXPECT_EQ(window_->size(), QSize(640, 480));
  QPushButton* convert = window_->convertBar()->convertButton();
  const QRect shown(convert->mapTo(window_.get(), QPoint(0, 0)), convert->size());
  EXPECT_TRUE(window_->rect().contains(shown));
  // The sidebar folds away in its splitter.
  window_->splitter()->setSizes({0, 640});
  EXPECT_EQ(window_->splitter()->sizes().front(), 0);
}

TEST(Waveform, QuietFilesAreScaledToTheirOwnPeak) {
  EXPECT_DOUBLE_EQ(ui::peakGain({0.0625f, 0.125f, 0.03125f}), 8.0);
  EXPECT_DOUBLE_EQ(ui::peakGain({0.0f, 0.0f}), 1.0);  // silence stays flat
  EXPECT_DOUBLE_EQ(ui::peakGain({}), 1.0);
}

// --- History rows ---

struct ArrowCase {
  const char* source;
  const char* output;
  int width;  // px
};

class ArrowJoined : public ::testing::TestWithParam<ArrowCase> {};

TEST_P(ArrowJoined, KeepsTheArrowAndBothEndsWithinTheWidth) {
  const QFontMetrics metrics(QApplication::font());
  const QString source = QString::fromUtf8(GetParam().source);
  const QString output = QString::fromUtf8(GetParam().output);
  const QString joined = ui::arrowJoined(source, output, metrics, GetParam().width);
  const qsizetype arrow = joined.indexOf(QStringLiteral(" → "));
  ASSERT_GE(arrow, 0) << joined.toStdString();
  EXPECT_LE(metrics.horizontalAdvance(joined), GetParam().width) << joined.toStdString();
  // Each side keeps its own first and last letters, or all of itself.
  const QString left = joined.left(arrow);
  const QString right = joined.mid(arrow + 3);
  EXPECT_TRUE(left.endsWith(source.back())) << joined.toStdString();
  EXPECT_TRUE(right.startsWith(output.front()) && right.endsWith(output.back()))
      << joined.toStdString();
  if (metrics.horizontalAdvance(source + " → " + output) <= GetParam().width) {
    EXPECT_EQ(joined, source + " → " + output);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Names, ArrowJoined,
    ::testing::Values(
        ArrowCase{"a.flac", "a.mp3", 400},
        ArrowCase{"short.wav", "Artist Name/Album Title/01 A very long track title.opus", 300},
        ArrowCase{"A long long long source name.flac", "A long long long output name.ogg", 260}));

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

TEST_F(EndOfBatch, FailedRowShowsTheReasonAndThePanelTheWholeError) {
  run();
  // A failure whose text names the source, as an unreadable file's does.
  vm().jobs()[2]->setStatus(
      ConversionStatus::failed(ConversionError::fileNotReadable(path("bad.wav").toStdString())));
  window_->jobModel()->flushChanges();
  const QModelIndex bad = rowOf("bad");
  const QString full = QString::fromStdString(vm().jobs()[2]->status().text());
  EXPECT_EQ(full, "Cannot read file: bad.wav");
  EXPECT_EQ(bad.data(JobListModel::StatusTextRole).toString(), "Cannot read file");
  auto* tree = window_->fileTree();
  QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualRect(bad).center());
  QLabel* error = window_->metadataPanel()->errorLabel();
  EXPECT_TRUE(error->isVisible());
  EXPECT_EQ(error->text(), full);
  // A retried job is no error any more.
  vm().retryJobs({vm().jobs()[2]->id()});
  EXPECT_FALSE(error->isVisible());
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
