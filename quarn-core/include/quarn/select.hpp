// Selection among candidate change points: backward elimination with the
// split tests, relocation of the survivors, and the kind of each change.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "quarn/scores.hpp"
#include "quarn/split_evidence.hpp"

namespace quarn {

// Change points that survived, ascending, each with the test and p-value
// that kept it.
struct Selection {
    std::vector<std::uint64_t> points;
    std::vector<SplitEvidence> evidence;
};

// Candidates closer together than this compete as one: the spread test
// needs this many values on a side, so near-duplicates of one change would
// otherwise leave each other untestable and be removed one by one.
inline constexpr std::uint64_t candidate_merge_gap = 8;

// Ratios of two sides' spreads this many standard errors from 1 (their logs
// from 0) tell a change of spread.
inline constexpr double spread_change_z = 2.5;

// Replaces every run of candidates less than `gap` apart (ascending input)
// by the member with the smallest p-value (the first among equals) as a
// split of the stretch between the neighbouring runs.
std::vector<std::uint64_t> merge_close_candidates(const SplitTester& tester,
                                                  std::span<const std::uint64_t> candidates,
                                                  std::uint64_t gap);

// Backward elimination. Every candidate is tested as a split of the stretch
// between its two neighbours (the series' ends for the outermost). The
// candidate with the largest p-value (the leftmost among equals) is removed
// and its two neighbours are tested again on their wider stretches, until
// every remaining p-value is at most `alpha`. `candidates` must be strictly
// ascending and inside 1 .. size - 1.
Selection eliminate(const SplitTester& tester, std::span<const std::uint64_t> candidates,
                    double alpha);

// eliminate with its list's indices and versions held in Index
// (std::uint32_t or std::uint64_t); eliminate takes 32 bits whenever the
// candidates fit in them. Both give the same selection.
template <class Index>
Selection eliminate_indexed(const SplitTester& tester, std::span<const std::uint64_t> candidates,
                            double alpha);

// Moves each selected point, from the first to the last, to the best split
// of the stretch between its (already moved) left neighbour and its right
// neighbour, by the statistic of the test that kept it: the standardised
// CUSUM of the ranks for level, then settled on the winsorized values
// (settled_level_split); the sum of the squared standardised CUSUMs of the
// Legendre scores 2 to 4 for spread and shape; and the smallest residual sum
// of two separate lines for trend.
std::vector<std::uint64_t> relocate(const ScoredSeries& series, const Selection& selection);

// The level split of y near `start` (a split 1 .. size - 1 found on the
// ranks) settled on the values: among the splits at most half
// candidate_merge_gap from `start`, the one minimising the sum of Huber losses
// of each value from the median of its side (the sides as `start` makes
// them), the loss's corner 1.345 robust standard deviations (1.4826 times
// the median absolute deviation from those medians) out; the split nearest
// `start` among equals. `start` itself when the medians lie no more than two
// corners apart (values then fit either level, and their magnitudes place
// the split no better than the ranks did), and when the sides' own median
// absolute deviations differ as a change of spread would (their log ratio
// more than 2.5 standard errors from 0, with a variance of 1.36 / n for the
// log of each): one scale then misjudges the values between the levels.
std::size_t settled_level_split(std::span<const double> y, std::size_t start);
// The same for the stretch [from, to) of the series' values (ScoredSeries::value),
// `start` counted from `from`.
std::size_t settled_level_split(const ScoredSeries& series, std::size_t from, std::size_t to,
                                std::size_t start);

// What changed at a point. `pattern` is a change of a repeated pattern (its
// period, waveform or the way values follow one another) that the tests of
// level, spread and shape may not see; see pattern.hpp.
enum class ChangeKind : std::uint8_t { level, slope, spread, shape, pattern };

// Names the change at c, a split of [a, b): a rank test of spread or shape
// that the level test also confirms at `alpha` names a level change; a
// trend confirmation names a level change when a jump fits better than a
// kink and a slope change otherwise; a spread or shape confirmation names a
// change of spread when the log ratio of the two sides' variances is at
// least 2.5 standard errors from 0 (standard errors that grow with the
// sides' kurtosis), and of shape otherwise.
// `series` is the one the tester was built on.
ChangeKind name_change(const SplitTester& tester, const ScoredSeries& series, std::size_t a,
                       std::size_t c, std::size_t b, TestKind kind, double alpha);

// log(var right / var left) over its standard error; infinite when one side
// has no spread and the other has.
double variance_ratio_z(std::span<const double> left, std::span<const double> right);

}  // namespace quarn
