// Level shifts in a random walk beneath noise (a local level model):
//
//     x(t) = mu(t) + e(t),   mu(t) = mu(t - 1) + s(t) (+ a jump at a change),
//
// with independent noise e of variance noise_variance and independent steps s
// of variance step_variance. Such a series wanders, and the split tests, whose
// allowance for dependence is that of AR(1) noise about a fixed level, read
// its wandering as changes of level. Differences k values apart have variance
// 2 noise_variance + k step_variance: a walk shows as differences whose
// spread keeps growing with their lag, and a change of level in it as a jump
// between the local levels on either side far larger than the walk's own
// steps over the same values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "quarn/scores.hpp"
#include "quarn/select.hpp"

namespace quarn {

struct LocalLevel {
    // Whether the series wanders as a walk: the spread of its differences
    // grows with their lag far beyond what chance allows.
    bool walk = false;
    // Variances of the walk's steps and of the noise, in the series'
    // standardised units (meaningful only for a walk).
    double step_variance = 0.0;
    double noise_variance = 0.0;
};

// The robust variance (1.4826 times the median absolute deviation from their
// median, squared) of the differences value(t) - value(t - lag) of the
// series' standardised, winsorized values whose two values lie in one
// segment of those `cuts` makes (ascending split indices), and how many were
// read (at a stride that reads at most 2^16 of them). Variance 0 when there
// are fewer than 2.
struct DifferenceSpread {
    double variance = 0.0;
    std::size_t count = 0;
};
DifferenceSpread difference_spread(const ScoredSeries& series,
                                   std::span<const std::uint64_t> cuts, std::size_t lag);

// The local level model of the series, from the spreads of its differences
// inside the segments that `cuts` makes at lags 1, 2, 4, ... up to the
// longest lag K that leaves seven eighths of the lag 1 differences (the
// differences of a walk over much of a segment share most of its steps, and
// their spread about their own median falls short). A walk when the log
// ratio of the spread at K to that at K / 4 stands more than 3.5 standard
// errors above 0 (each spread's log has a variance of about 5.44 / count,
// as the square of a median absolute deviation): the spread of stationary
// noise, however persistent, levels off at lags beyond its memory, that of
// a walk keeps growing. The variances are read from the spreads at lag 1
// and at the shortest lag whose spread is 5 times that (or K): a longer lag
// reads the walk from fewer independent stretches.
LocalLevel estimate_local_level(const ScoredSeries& series, std::span<const std::uint64_t> cuts);

// The p-value of a jump of the local level at c, a split of [a, b), in a
// series of the model `model` (a walk): the largest difference between the
// means of the w values after and the w values before any split within
// 2 candidate_merge_gap + 2 w of c (the sides kept inside [a, b)), over
// its standard deviation under the model, the square root of
// 2 noise_variance / w + step_variance (2 w^2 + 1) / (3 w), with Bonferroni's adjustment for the n
// places of the series a jump could take. w is the side that makes that
// deviation least, about the square root of 3 noise_variance /
// step_variance (within the stretch). 1 when c has no room for a side.
double level_jump_p_value(const ScoredSeries& series, const LocalLevel& model, std::size_t a,
                          std::size_t c, std::size_t b);

// In a walk, a change of level is kept only when the local level jumps there
// far more than the walk steps: the selected level changes whose
// level_jump_p_value (between their neighbours among the points kept)
// exceeds alpha are dropped, and the other points kept with their evidence.
// The model is measured between the selection's points, or on the whole
// series when that shows no walk (many spurious cuts hide one; trend
// confirmations, which are then among those cuts, are judged too), then
// again between the points kept until they hold still; it must still be a
// walk there, and one measured on the whole series must grow between the
// selection's points at least half as the model has it (shifts in
// stationary noise make a whole series wander, not the stretches between
// them). Otherwise every point is kept. Returns the model the points were
// judged by (walk false when they were not).
LocalLevel keep_level_jumps(const ScoredSeries& series, Selection& selection, double alpha);

}  // namespace quarn
