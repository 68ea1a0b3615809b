// The thresholds of a sweep stored by runs of equal values.
//
// A sweep carries its bootstrap threshold forward and refreshes it only at
// its first position and after a significant one, so its per-position
// thresholds are long runs of one value. A run's first position and its
// value take 16 bytes, where the positions of the run take 8 bytes each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quarn {

// Positions starts[i] up to starts[i + 1] (the last run: up to the end) all
// have the threshold values[i]. starts ascends from 0; neighbouring runs
// differ in the bits of their values (two NaNs of one payload are equal).
struct ThresholdRuns {
    std::vector<std::uint64_t> starts;
    std::vector<double> values;
};

// The per-position thresholds of `runs` over `positions` positions, the
// same bits as the thresholds they were made from.
std::vector<double> expand_threshold_runs(const ThresholdRuns& runs, std::size_t positions);

// Records the thresholds of a sweep, one position after the other: by runs
// as long as there are at most half as many runs as positions (so that the
// runs never take more memory than one threshold per position would), one
// threshold per position otherwise, from the moment a run more would cross
// that line.
class ThresholdRecorder {
  public:
    // `positions`: how many thresholds will be recorded. `by_runs` false
    // records one per position from the start.
    ThresholdRecorder(std::size_t positions, bool by_runs);

    // Records the threshold of the next position.
    void record(double threshold) {
        if (by_runs_) {
            record_by_runs(threshold);
        } else {
            per_position_.push_back(threshold);
        }
        ++recorded_;
    }

    // Whether the thresholds recorded so far are held by runs.
    bool by_runs() const noexcept { return by_runs_; }

    // Moves the thresholds into `per_position` or into `runs`; the other
    // one is left empty.
    void finish(std::vector<double>& per_position, ThresholdRuns& runs) &&;

  private:
    void record_by_runs(double threshold);

    std::size_t positions_;
    std::size_t recorded_ = 0;
    bool by_runs_;
    std::uint64_t last_bits_ = 0;
    ThresholdRuns runs_;
    std::vector<double> per_position_;
};

}  // namespace quarn
