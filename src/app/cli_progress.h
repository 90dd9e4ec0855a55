#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "model/conversion_job.h"

namespace vexal {

// Where a batch stands, as the command line's live line and progress events show it.
struct ProgressSnapshot {
  int done = 0;  // jobs that ended, completed or failed
  int total = 0;
  int running = 0;
  double fraction = 0.0;             // 0...1 of all jobs' work
  std::optional<double> speed;       // audio seconds converted per wall second
  std::optional<double> etaSeconds;  // wall seconds still to go
};

// Measures a batch's progress and speed, and paces how often it is shown. The clock is
// injectable so that pacing needs no waiting to test.
class ProgressMeter {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  using JobPtr = std::shared_ptr<ConversionJob>;

  explicit ProgressMeter(Clock clock = &std::chrono::steady_clock::now);

  // The batch's wall time counts from here.
  void start();
  // A job's audio length in seconds, once known; jobs without one add nothing to the speed.
  void setDuration(const Uuid& id, double seconds);
  // A running job's progress spans all its outputs, so it is the job's share as it is.
  ProgressSnapshot measure(const std::vector<JobPtr>& jobs) const;
  // True at most once per `interval`; the first call is always due.
  bool due(std::chrono::milliseconds interval);

 private:
  Clock clock_;
  std::chrono::steady_clock::time_point started_;
  std::optional<std::chrono::steady_clock::time_point> lastShown_;
  std::map<Uuid, double> durations_;
};

}  // namespace vexal
