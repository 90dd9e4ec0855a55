// Leaving mid-batch: the session ending (a signal) cancels like Cancel and leaves no
// temporaries; quitting from the window asks first.

#include <QAction>
#include <csignal>

#include "orchestration/output_files.h"
#include "orchestration/termination_signals.h"
#include "ui_test_support.h"

namespace vexal::test {
namespace {

class LeavingMidBatch : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    writeWav(temp_ / "a.wav", 441);
    vm().addFiles({path("a.wav")});
    enable({OutputFormat::wav});
    engine_.delay = std::chrono::seconds(30);
    vm().setConvertFunction(engine_.function());
    vm().startConversion();
    ASSERT_TRUE(waitFor([&] { return engine_.inFlight() == 1; }));
    ASSERT_FALSE(temporaries().empty());
  }
  std::vector<std::filesystem::path> temporaries() const {
    std::vector<std::filesystem::path> found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(temp_ / "out")) {
      if (entry.path().filename().string().starts_with(kPartPrefix)) found.push_back(entry.path());
    }
    return found;
  }
  bool workersDone() {
    return waitFor([&] { return vm().activeWorkerCount() == 0; }, 10000);
  }

  FakeEngine engine_;
};

TEST_F(LeavingMidBatch, TerminationCancelsWithoutAskingAndLeavesNoTemporary) {
  TerminationSignals termination({SIGTERM});
  ASSERT_TRUE(termination.isInstalled());
  QObject::connect(&termination, &TerminationSignals::received, window_.get(), [this] { window_->endSession(); });
  int asked = 0;
  window_->setQuitConfirmation([&](QWidget*) { return ++asked, false; });
  std::raise(SIGTERM);
  ASSERT_TRUE(workersDone());
  EXPECT_TRUE(temporaries().empty());
  EXPECT_FALSE(vm().isConverting());
  EXPECT_FALSE(window_->isVisible());
  EXPECT_EQ(asked, 0);
}

TEST_F(LeavingMidBatch, QuittingAsksAndKeepsConvertingUnlessTold) {
  int asked = 0;
  bool answer = false;
  window_->setQuitConfirmation([&](QWidget*) { return ++asked, answer; });
  window_->quitAction()->trigger();
  EXPECT_EQ(asked, 1);
  EXPECT_TRUE(window_->isVisible());
  EXPECT_TRUE(vm().isConverting());

  answer = true;
  window_->quitAction()->trigger();
  EXPECT_EQ(asked, 2);
  EXPECT_FALSE(window_->isVisible());
  ASSERT_TRUE(workersDone());
  EXPECT_TRUE(temporaries().empty());
}

}  // namespace
}  // namespace vexal::test
