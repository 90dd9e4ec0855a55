#include "orchestration/run_progress.h"

#include <algorithm>

namespace vexal {

void RunProgress::reset() {
  *this = RunProgress();
}

double RunProgress::update(double done, double total) {
  if (total != total_) {
    // The rest of the bar now stands for the rest of the work, old and new.
    anchorShown_ = shown_;
    anchorDone_ = total_ > 0.0 ? done : 0.0;
    total_ = total;
  }
  const double left = total_ - anchorDone_;
  const double fraction =
      left > 0.0 ? anchorShown_ + (1.0 - anchorShown_) * (done - anchorDone_) / left : 1.0;
  shown_ = std::max(shown_, std::clamp(fraction, 0.0, 1.0));
  return shown_;
}

}  // namespace vexal
