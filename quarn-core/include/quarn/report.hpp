// What a detection says about each change and each stretch between changes:
// where the change may lie (an interval of positions at a chosen
// confidence), which way it went and how large it is, and the robust level,
// spread and trend of every segment.
//
// Every position of these reports (interval ends, segment starts and stops)
// is an index of the analysed series and lives in the fields marked
// "position" below, so that a caller that analysed a compacted series can map
// them back to its own positions in one place.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "quarn/scores.hpp"
#include "quarn/select.hpp"
#include "quarn/split_evidence.hpp"

namespace quarn {

enum class Direction : std::uint8_t { none, up, down };

struct ChangeReport {
    // Positions, both inclusive: each a possible first value after the
    // change; the true one lies in [interval_low, interval_high] with about
    // the asked confidence.
    std::uint64_t interval_low = 0;
    std::uint64_t interval_high = 0;
    Direction direction = Direction::none;
    // Level: (median after - median before) / pooled robust spread.
    // Spread: robust spread after / robust spread before.
    // Slope: least-squares slope after - slope before, per value.
    // Shape (and any other kind): NaN.
    double effect = std::numeric_limits<double>::quiet_NaN();
};

struct SegmentReport {
    // Positions: the segment holds the values start .. stop - 1.
    std::uint64_t start = 0;
    std::uint64_t stop = 0;
    double level = 0.0;   // median
    double spread = 0.0;  // 1.4826 times the median absolute deviation
    // Least-squares slope per value where the segment trends (the slope is
    // more than trend_t standard errors from 0, allowing for the lag-1
    // autocorrelation of the residuals), otherwise NaN. The spread of a
    // trending segment is that of its residuals from the line.
    double slope = std::numeric_limits<double>::quiet_NaN();
    std::uint64_t count = 0;  // values the segment holds (present ones, when some are missing)
};

// A segment's slope is reported when its t-statistic exceeds this.
inline constexpr double trend_t = 4.0;
// Replicates of the simulated position error behind each interval.
inline constexpr std::size_t interval_replicates = 400;

// Median and 1.4826 times the median absolute deviation of the values
// (NaN for none).
struct RobustFigures {
    double level;
    double spread;
};
RobustFigures robust_figures(std::span<const double> values);

// The segments that ascending `cuts` (inside 1 .. size - 1) make of `x`.
std::vector<SegmentReport> describe_segments(std::span<const double> x,
                                       std::span<const std::uint64_t> cuts);

// Direction and effect of a change of `kind` at c between the stretches
// [a, c) and [c, b) of `x` (the values in the series' own units).
ChangeReport describe_effect(std::span<const double> x, std::size_t a, std::size_t c,
                             std::size_t b, ChangeKind kind);

// The interval [low, high] of positions (a < low <= c <= high < b) that holds
// the true position of the change at c with probability about `confidence`.
//
// The change was placed by the statistic of `placed_by` over [a, b) of
// `series`, which is a least-squares split of scores: the rank scores
// (level), the Legendre scores 2 to 4 of the ranks over their spread (spread
// and shape), two separate lines through the standardised values (trend),
// or, for any other test, the rank scores and Legendre scores 2 to 4 alike.
// Moving the split j values away from the true position changes that
// criterion by a random walk with drift -(d^2 + 2 d e) per value, d the gap
// between the two sides' fits there and e the noise. The walk is simulated
// with the fitted gaps and noise drawn by an AR(1) sieve bootstrap of each
// side's residuals (so dependence widens the interval), and the interval
// holds the central `confidence` share of the simulated errors. `seed` makes
// the draws reproducible.
std::pair<std::uint64_t, std::uint64_t> location_interval(const ScoredSeries& series,
                                                          std::size_t a, std::size_t c,
                                                          std::size_t b, TestKind placed_by,
                                                          double confidence, std::uint64_t seed);

// One side of a change as the simulated walk of location_interval sees
// it: the gap d between its own fit and the other side's at each step away
// from the change, and its residuals in time order.
struct WalkSide {
    std::span<const double> gaps;
    std::span<const double> residuals;
};

// `replicates` simulated position errors (estimate minus truth) of the
// split that maximises minus the least-squares criterion, the truth at 0:
// each replicate walks the right side (to positive errors), then the left
// (to negative ones), the criterion changing by -(d^2 + 2 d e) at each step,
// e drawn by the AR(1) sieve bootstrap (lag-1 autocorrelation phi) of the
// side's residuals; the error is the step of the highest criterion above 0,
// the first one reached, or 0. A side with fewer than 2 residuals does not
// walk. The draws come from one generator seeded with `seed`, replicate
// after replicate.
std::vector<std::int64_t> simulated_errors(const WalkSide& left, const WalkSide& right, double phi,
                                           std::uint64_t seed,
                                           std::size_t replicates = interval_replicates);

// The interval's quantiles from simulated position errors (estimate minus
// truth), as positions around c clipped to (a, b).
std::pair<std::uint64_t, std::uint64_t> interval_from_errors(std::vector<std::int64_t> errors,
                                                             std::size_t a, std::size_t c,
                                                             std::size_t b, double confidence);

}  // namespace quarn
