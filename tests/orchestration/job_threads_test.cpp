#include <gtest/gtest.h>

#include "orchestration/converter_view_model.h"

namespace vexal {
namespace {

// {limit, running (the job included), queued, cores} -> threads of the starting job.
TEST(JobThreads, TwoOnlyWhileFewerJobsThanCoresRunAtOnce) {
  EXPECT_EQ(jobThreads(2, 1, 0, 2), 2);   // one long file
  EXPECT_EQ(jobThreads(1, 1, 5, 2), 2);   // one job at a time
  EXPECT_EQ(jobThreads(4, 1, 2, 4), 2);   // a short batch
  EXPECT_EQ(jobThreads(2, 1, 1, 2), 1);   // a full batch
  EXPECT_EQ(jobThreads(2, 2, 0, 2), 1);   // its last job, beside another
  EXPECT_EQ(jobThreads(1, 1, 0, 1), 1);   // one core
}

}  // namespace
}  // namespace vexal
