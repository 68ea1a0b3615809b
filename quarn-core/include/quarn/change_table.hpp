// The change points of a detection as one table, whichever way they were
// found: one row per change point in ascending position, one column per
// figure. The multi-window detector's consensus fills the support columns
// (votes, score, probability) and leaves the test's columns empty; the
// confirming selection fills every column.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "quarn/confirm.hpp"
#include "quarn/consensus.hpp"
#include "quarn/report.hpp"

namespace quarn {

// What changed, or `none` where no test named it (the consensus).
enum class TableKind : std::uint8_t { none, level, slope, spread, shape, pattern };

TableKind table_kind(ChangeKind kind);

// Every column holds one entry per change point. A row that no test named
// (kind `none`) has a NaN p-value and effect, the interval [0, 0] and no
// direction.
struct ChangeTable {
    std::vector<std::uint64_t> positions;  // first value after the change
    std::vector<TableKind> kinds;
    std::vector<double> p_values;
    // Window sizes that support the change (see ChangePoint's votes).
    std::vector<std::uint64_t> votes;
    std::vector<double> scores;         // votes over the number of window sizes
    std::vector<double> probabilities;  // the score's share of all scores
    std::vector<double> cdf;            // running sum of the probabilities
    std::vector<std::uint64_t> interval_lows;   // inclusive positions
    std::vector<std::uint64_t> interval_highs;
    std::vector<Direction> directions;
    std::vector<double> effects;

    std::size_t size() const { return positions.size(); }
};

// The consensus as a table, its figures as score_leaders computed them.
ChangeTable table_from_consensus(const Consensus& consensus);

// The confirmed changes as a table: the score is votes over the number of
// window sizes (0 without any), the probability the score over the sum of
// the scores (summed in pairs as numpy sums), an equal share each when that
// sum is 0.
ChangeTable table_from_changes(std::span<const Change> changes, std::size_t n_window_sizes);

// The sum of `values` as numpy's pairwise summation of float64 adds it: in
// order below 8 values, eight running sums up to 128, halves above.
double pairwise_sum(std::span<const double> values);

}  // namespace quarn
