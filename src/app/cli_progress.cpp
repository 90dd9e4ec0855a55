#include "app/cli_progress.h"

#include <algorithm>

namespace vexal {

ProgressMeter::ProgressMeter(Clock clock) : clock_(std::move(clock)), started_(clock_()) {}

void ProgressMeter::start() {
  started_ = clock_();
  lastShown_.reset();
}

void ProgressMeter::setDuration(const Uuid& id, double seconds) {
  durations_[id] = seconds;
}

ProgressSnapshot ProgressMeter::measure(const std::vector<JobPtr>& jobs) const {
  ProgressSnapshot snapshot;
  snapshot.total = static_cast<int>(jobs.size());
  double work = 0.0;
  double audioSeconds = 0.0;
  for (const auto& job : jobs) {
    double share = 0.0;  // of this job's work done
    switch (job->status().kind()) {
      case ConversionStatus::Kind::completed:
        share = 1.0;
        ++snapshot.done;
        break;
      case ConversionStatus::Kind::failed:
      case ConversionStatus::Kind::skipped:
        // Ended: its remaining work will never be done, so it counts as done work but
        // converted no audio.
        ++snapshot.done;
        work += 1.0;
        continue;
      case ConversionStatus::Kind::converting:
        ++snapshot.running;
        share = std::clamp(job->progress(), 0.0, 1.0);
        break;
      default:
        break;
    }
    work += share;
    if (const auto found = durations_.find(job->id()); found != durations_.end())
      audioSeconds += share * found->second;
  }
  if (jobs.empty()) return snapshot;
  snapshot.fraction = work / static_cast<double>(jobs.size());
  const double elapsed = std::chrono::duration<double>(clock_() - started_).count();
  if (elapsed > 0.0 && audioSeconds > 0.0) snapshot.speed = audioSeconds / elapsed;
  if (elapsed > 0.0 && snapshot.fraction > 0.0)
    snapshot.etaSeconds = elapsed * (1.0 - snapshot.fraction) / snapshot.fraction;
  return snapshot;
}

bool ProgressMeter::due(std::chrono::milliseconds interval) {
  const auto now = clock_();
  if (lastShown_ && now - *lastShown_ < interval) return false;
  lastShown_ = now;
  return true;
}

}  // namespace vexal
