// The thresholds of a sweep stored by runs of equal values.
//
// A sweep carries its bootstrap threshold forward and refreshes it only at
// its first position and after a significant one, so its per-position
// thresholds are long runs of one value. A run's first position and its
// value take 16 bytes, where the positions of the run take 8 bytes each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quarn {

// Positions starts[i] up to starts[i + 1] (the last run: up to the end) all
// have the threshold values[i]. starts ascends from 0; neighbouring runs
// differ in the bits of their values (two NaNs of one payload are equal).
struct ThresholdRuns {
    std::vector<std::uint64_t> starts;
    std::vector<double> values;
};

// The runs of `thresholds`, or nothing when there would be more than
// `max_runs` of them (the runs would then not save memory).
std::optional<ThresholdRuns> threshold_runs(std::span<const double> thresholds,
                                            std::size_t max_runs);

// The per-position thresholds of `runs` over `positions` positions, the
// same bits as the thresholds they were made from.
std::vector<double> expand_threshold_runs(const ThresholdRuns& runs, std::size_t positions);

}  // namespace quarn
