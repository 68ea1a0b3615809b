#include "quarn/change_table.hpp"

#include <cmath>
#include <cstdint>
#include <vector>

#include "check.hpp"

using quarn::Change;
using quarn::ChangeKind;
using quarn::ChangeTable;
using quarn::Direction;
using quarn::TableKind;

namespace {

using Points = std::vector<std::uint64_t>;
using Figures = std::vector<double>;

quarn::Consensus consensus_of(const quarn::WindowChangePoints& points, std::uint64_t tol,
                              std::uint64_t n_windows) {
    auto scored = quarn::score_leaders(quarn::build_segments(points, tol), n_windows);
    CHECK(scored.has_value());
    return scored ? *scored : quarn::Consensus{};
}

Change change_at(std::uint64_t position, ChangeKind kind, std::uint64_t votes) {
    Change change{position, kind, 0.01, votes, {}};
    change.report.interval_low = position - 1;
    change.report.interval_high = position + 2;
    change.report.direction = Direction::up;
    change.report.effect = 1.5;
    return change;
}

}  // namespace

// Four window sizes; three segments with 2, 1 and 1 votes score 1/2, 1/4
// and 1/4, which sum to 1: the probabilities equal the scores.
TEST(consensus_rows_in_ascending_position_with_their_support) {
    const auto consensus = consensus_of({{10, {100, 300}}, {11, {101}}, {12, {200}}}, 2, 4);
    const ChangeTable table = quarn::table_from_consensus(consensus);
    CHECK(table.positions == (Points{100, 200, 300}));
    CHECK(table.votes == (Points{2, 1, 1}));
    CHECK(table.scores == (Figures{0.5, 0.25, 0.25}));
    CHECK(table.probabilities == (Figures{0.5, 0.25, 0.25}));
    CHECK(table.cdf == (Figures{0.5, 0.75, 1.0}));
    CHECK_EQ(table.size(), 3u);
    for (std::size_t i = 0; i < table.size(); ++i) {
        CHECK(table.kinds[i] == TableKind::none);
        CHECK(std::isnan(table.p_values[i]) && std::isnan(table.effects[i]));
        CHECK(table.directions[i] == Direction::none);
        CHECK_EQ(table.interval_lows[i], 0u);
        CHECK_EQ(table.interval_highs[i], 0u);
    }
}

// Two window sizes, three reported points in one segment: votes 3 exceed
// the number of window sizes and the score is capped at 1.
TEST(consensus_votes_may_exceed_the_window_sizes_and_scores_are_capped) {
    const auto consensus = consensus_of({{10, {100, 103}}, {11, {101}}}, 5, 2);
    const ChangeTable table = quarn::table_from_consensus(consensus);
    CHECK(table.positions == (Points{100}));
    CHECK(table.votes == (Points{3}));
    CHECK(table.scores == (Figures{1.0}));
    CHECK(table.probabilities == (Figures{1.0}));
    CHECK(table.cdf == (Figures{1.0}));
}

TEST(no_consensus_is_an_empty_table) {
    const ChangeTable table = quarn::table_from_consensus(consensus_of({{10, {}}}, 2, 1));
    CHECK_EQ(table.size(), 0u);
    CHECK(table.kinds.empty() && table.cdf.empty() && table.effects.empty());
}

// Votes 2, 0 and 4 of four window sizes: scores 1/2, 0 and 1, whose sum
// 3/2 makes the probabilities 1/3, 0 and 2/3.
TEST(confirmed_changes_keep_their_test_and_share_their_support) {
    const std::vector<Change> changes{change_at(50, ChangeKind::level, 2),
                                      change_at(90, ChangeKind::pattern, 0),
                                      change_at(140, ChangeKind::spread, 4)};
    const ChangeTable table = quarn::table_from_changes(changes, 4);
    CHECK(table.positions == (Points{50, 90, 140}));
    CHECK(table.kinds ==
          (std::vector<TableKind>{TableKind::level, TableKind::pattern, TableKind::spread}));
    CHECK(table.votes == (Points{2, 0, 4}));
    CHECK(table.scores == (Figures{0.5, 0.0, 1.0}));
    CHECK(table.probabilities == (Figures{1.0 / 3.0, 0.0, 2.0 / 3.0}));
    CHECK(table.cdf == (Figures{1.0 / 3.0, 1.0 / 3.0, 1.0 / 3.0 + 2.0 / 3.0}));
    CHECK(table.p_values == (Figures{0.01, 0.01, 0.01}));
    CHECK(table.interval_lows == (Points{49, 89, 139}));
    CHECK(table.interval_highs == (Points{52, 92, 142}));
    CHECK(table.directions[1] == Direction::up && table.effects[2] == 1.5);
}

TEST(changes_without_support_weigh_the_same) {
    const std::vector<Change> changes{change_at(50, ChangeKind::slope, 0),
                                      change_at(90, ChangeKind::shape, 0)};
    for (const std::size_t sizes : {std::size_t{0}, std::size_t{6}}) {
        const ChangeTable table = quarn::table_from_changes(changes, sizes);
        CHECK(table.scores == (Figures{0.0, 0.0}));
        CHECK(table.probabilities == (Figures{0.5, 0.5}));
        CHECK(table.cdf == (Figures{0.5, 1.0}));
    }
    CHECK_EQ(quarn::table_from_changes({}, 6).size(), 0u);
}

// numpy's pairwise summation: eight running sums lose less to rounding
// than one (1e16 + 15 ones: 1e16 + 14 in pairs, 1e16 + 16 in order).
TEST(sums_are_added_in_pairs_as_numpy_adds_them) {
    Figures large(16, 1.0);
    large[0] = 1e16;
    CHECK(check::same_bits(quarn::pairwise_sum(large), 1.0000000000000014e+16));
    Figures few{0.1, 0.2, 0.3};
    CHECK(check::same_bits(quarn::pairwise_sum(few), (0.1 + 0.2) + 0.3));
    Figures many(300);
    for (std::size_t i = 0; i < many.size(); ++i) many[i] = 0.1 * static_cast<double>(i);
    CHECK(check::same_bits(quarn::pairwise_sum(many), 4485.0));
    CHECK_EQ(quarn::pairwise_sum({}), 0.0);
}
