// Candidate change points from whole stretches: binary segmentation of the
// CUSUM of rank scores, which sees changes too small for any window (a
// shift of a tenth of a standard deviation over thousands of values).
#pragma once

#include <cstdint>
#include <vector>

#include "quarn/control.hpp"
#include "quarn/scores.hpp"

namespace quarn {

// No side of a stretch split is shorter than this.
inline constexpr std::size_t stretch_min_side = 20;

// Splits of binary segmentation on the rank scores of `series`: a stretch
// is split where the standardised CUSUM of its level scores (the rank
// scores) or of its spread scores (the second Legendre score of the ranks)
// is largest, when that maximum reaches sqrt(2 log m) for a stretch of m
// values, and both sides are searched in turn, down to stretches of
// 2 * stretch_min_side values. Ascending and distinct, whatever the pool:
// the stretches of one generation are searched side by side on the pool
// the call runs on. O(n log n) for n values; a stop request, polled per
// stretch, ends the search early.
std::vector<std::uint64_t> stretch_candidates(const ScoredSeries& series,
                                              const RunControl* control = nullptr);

}  // namespace quarn
