#include <gtest/gtest.h>

#include <fstream>

#include "orchestration/converter_view_model.h"
#include "orchestration_helpers.h"
#include "support/test_support.h"

// A job reads and encodes on two threads only while fewer jobs than cores run at once.
namespace vexal {
namespace {

namespace fs = std::filesystem;

struct Case {
  const char* name;
  int jobs;
  int limit;  // 0: the cores this process may use
  int extraJobsBeyondCores;  // jobs added to `jobs` per core beyond one
  std::vector<int> threads;  // settings.threads of each conversion, in start order
};

class Pipelining : public testing::TestWithParam<Case> {};

TEST_P(Pipelining, OnlyWhileCoresAreIdle) {
  const int cores = availableCores();
  if (cores < 2) GTEST_SKIP() << "one core: every job runs on one thread";
  const Case& param = GetParam();
  test::TempDir dir;
  test::FakeEngine engine;
  engine.delay = std::chrono::milliseconds(5);
  ConverterViewModel model{test::storesIn(dir.path())};
  model.setConvertFunction(engine.function());
  model.setConcurrencyLimit(param.limit);
  ConversionSettings settings = model.settings();
  settings.enabledFormats = {OutputFormat::wav};
  settings.preserveMetadata = false;
  model.setSettings(settings);
  fs::create_directories(dir / "in");
  QStringList paths;
  const int jobs = param.jobs + param.extraJobsBeyondCores * (cores - 1);
  for (int i = 0; i < jobs; ++i) {
    const fs::path source = dir / "in" / ("s" + std::to_string(i) + ".wav");
    std::ofstream(source) << "source";
    paths << test::q(source);
  }
  model.addFiles(paths);
  model.startConversion();
  ASSERT_TRUE(test::waitFor([&] { return !model.isConverting() && model.activeWorkerCount() == 0; }));
  std::vector<int> threads;
  for (const auto& call : engine.calls()) threads.push_back(call.settings.threads);
  // The batch's tail: once fewer jobs are left than cores, the last ones get two.
  std::vector<int> expected = param.threads;
  if (param.extraJobsBeyondCores) expected.insert(expected.begin(), static_cast<std::size_t>(cores - 1), 1);
  EXPECT_EQ(threads, expected);
}

INSTANTIATE_TEST_SUITE_P(Batches, Pipelining,
                         testing::Values(Case{"oneFile", 1, 0, 0, {2}},
                                         Case{"oneAtATime", 3, 1, 0, {2, 2, 2}},
                                         Case{"fullBatch", 1, 0, 1, {1}},
                                         Case{"beyondCores", 2, 0, 1, {1, 1}}),
                         [](const auto& info) { return std::string(info.param.name); });
}  // namespace
}  // namespace vexal
