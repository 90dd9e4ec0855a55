#pragma once

namespace vexal {

// The fraction a run of batches shows: work done over all work, in jobs. Work that joins
// while the run goes (files the watched folder queued) spreads over what is left instead
// of pulling the fraction back, so it only moves forward and still ends at 1.
class RunProgress {
 public:
  void reset();
  // `done` jobs' worth of `total` finished; answers the fraction to show.
  double update(double done, double total);
  double value() const { return shown_; }

 private:
  double shown_ = 0.0;
  double total_ = 0.0;       // when the anchor was set
  double anchorShown_ = 0.0;  // the fraction shown then
  double anchorDone_ = 0.0;   // and the work done then
};

}  // namespace vexal
