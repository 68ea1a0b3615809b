#include "quarn/consensus.hpp"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "check.hpp"

using quarn::build_segments;
using quarn::score_leaders;
using quarn::SegmentCollection;
using quarn::WindowChangePoints;

namespace {

using Points = std::vector<std::uint64_t>;

Points members_of(const SegmentCollection& segments, const std::string& name) {
    const auto it = segments.find(name);
    CHECK(it != segments.end());
    return it == segments.end() ? Points{} : it->second.members;
}

// Consensus of segments that must score without error.
quarn::Consensus scored(const SegmentCollection& segments, std::uint64_t n_windows) {
    auto result = score_leaders(segments, n_windows);
    CHECK(result.has_value());
    return result ? std::move(*result) : quarn::Consensus{};
}

}  // namespace

TEST(three_windows_example) {
    const WindowChangePoints input{{10, {100}}, {11, {101}}, {12, {100, 250}}};
    const auto segments = build_segments(input, 2);
    CHECK_EQ(segments.size(), 2u);
    const auto& first = segments.at("segment_1");
    CHECK(first.members == (Points{100, 101}));
    CHECK_EQ(first.votes.at(100), 2u);
    CHECK_EQ(first.votes.at(101), 1u);
    CHECK_EQ(first.total_votes, 3u);
    const auto& second = segments.at("segment_2");
    CHECK(second.members == (Points{250}));
    CHECK_EQ(second.votes.at(250), 1u);
    CHECK_EQ(second.total_votes, 1u);

    const auto consensus = scored(segments, input.size());
    CHECK(consensus.leaders_segment_votes ==
          (std::map<std::uint64_t, std::uint64_t>{{100, 3}, {250, 1}}));
    CHECK_EQ(consensus.leaders_scores.size(), 2u);
    CHECK_BITS(consensus.leaders_scores.at(100), 1.0);
    CHECK_BITS(consensus.leaders_scores.at(250), 1.0 / 3.0);
    CHECK_BITS(consensus.leaders_probs.at(100), 0.75);
    CHECK_BITS(consensus.leaders_probs.at(250), 0.25);
    CHECK_EQ(consensus.cdf.size(), 2u);
    CHECK_EQ(consensus.cdf[0].first, 100u);
    CHECK_BITS(consensus.cdf[0].second, 0.75);
    CHECK_EQ(consensus.cdf[1].first, 250u);
    CHECK_BITS(consensus.cdf[1].second, 1.0);
}

TEST(gap_of_tol_joins_and_tol_plus_one_separates) {
    const auto joined = build_segments({{5, {20, 23}}}, 3);
    CHECK_EQ(joined.size(), 1u);
    CHECK(members_of(joined, "segment_1") == (Points{20, 23}));

    const auto split = build_segments({{5, {20, 24}}}, 3);
    CHECK_EQ(split.size(), 2u);
    CHECK(members_of(split, "segment_1") == (Points{20}));
    CHECK(members_of(split, "segment_2") == (Points{24}));

    // tol 0: every distinct point stands alone, even neighbours.
    CHECK_EQ(build_segments({{5, {7, 8, 9}}}, 0).size(), 3u);
}

TEST(points_chain_through_their_predecessor) {
    const auto segments = build_segments({{4, {14, 10}}, {6, {12}}}, 2);
    CHECK_EQ(segments.size(), 1u);
    CHECK(members_of(segments, "segment_1") == (Points{10, 12, 14}));
}

TEST(segment_numbers_follow_position_past_nine) {
    // Names are plain decimal; segment_10 holds the tenth group by position.
    Points points;
    for (std::uint64_t i = 0; i < 11; ++i) points.push_back(1000 - 50 * i);
    const auto segments = build_segments({{3, points}}, 2);
    CHECK_EQ(segments.size(), 11u);
    CHECK(members_of(segments, "segment_1") == (Points{500}));
    CHECK(members_of(segments, "segment_10") == (Points{950}));
    CHECK(members_of(segments, "segment_11") == (Points{1000}));
}

TEST(repeated_point_in_one_list_counts_once) {
    const auto segments = build_segments({{8, {30, 30, 30}}, {9, {30}}}, 2);
    CHECK_EQ(segments.at("segment_1").votes.at(30), 2u);
    CHECK_EQ(segments.at("segment_1").total_votes, 2u);
}

TEST(leader_ties_go_to_the_smaller_point_and_more_votes_win) {
    const WindowChangePoints tied{{3, {40}}, {4, {41}}};
    const auto tie = scored(build_segments(tied, 1), 2);
    CHECK(tie.leaders_segment_votes == (std::map<std::uint64_t, std::uint64_t>{{40, 2}}));

    const WindowChangePoints later_wins{{3, {40, 42}}, {4, {42}}, {5, {41}}};
    const auto more = scored(build_segments(later_wins, 1), 3);
    CHECK(more.leaders_segment_votes == (std::map<std::uint64_t, std::uint64_t>{{42, 4}}));
}

TEST(score_is_capped_at_one) {
    const WindowChangePoints input{{3, {40, 41}}, {4, {40, 41}}};
    const auto segments = build_segments(input, 1);
    CHECK_EQ(segments.at("segment_1").total_votes, 4u);
    const auto consensus = scored(segments, input.size());
    CHECK_BITS(consensus.leaders_scores.at(40), 1.0);
    CHECK_BITS(consensus.leaders_probs.at(40), 1.0);
}

TEST(probabilities_multiply_by_the_reciprocal_of_the_sum) {
    // Three singleton segments with 1, 2 and 4 votes out of 7 windows.
    WindowChangePoints input;
    for (std::uint64_t w = 1; w <= 7; ++w) {
        Points points{100};
        if (w <= 2) points.push_back(200);
        if (w <= 4) points.push_back(300);
        input[w] = points;
    }
    input[1].push_back(0);
    const auto consensus = scored(build_segments(input, 2), 7);
    const std::uint64_t leaders[] = {0, 100, 200, 300};
    double sum = 0.0;
    for (const auto leader : leaders) sum = sum + consensus.leaders_scores.at(leader);
    const double reciprocal = 1.0 / sum;
    double running = 0.0;
    for (std::size_t i = 0; i < 4; ++i) {
        const double expected = consensus.leaders_scores.at(leaders[i]) * reciprocal;
        CHECK_BITS(consensus.leaders_probs.at(leaders[i]), expected);
        running = running + expected;
        CHECK_EQ(consensus.cdf[i].first, leaders[i]);
        CHECK_BITS(consensus.cdf[i].second, running);
    }
    CHECK_BITS(consensus.leaders_scores.at(0), 1.0 / 7.0);
    CHECK_BITS(consensus.leaders_scores.at(300), 4.0 / 7.0);
}

TEST(empty_input_gives_empty_consensus) {
    CHECK(build_segments({}, 2).empty());
    const auto segments = build_segments({{10, {}}, {11, {}}}, 2);
    CHECK(segments.empty());
    const auto consensus = scored(segments, 2);
    CHECK(consensus.leaders_segment_votes.empty());
    CHECK(consensus.leaders_scores.empty());
    CHECK(consensus.leaders_probs.empty());
    CHECK(consensus.cdf.empty());
}

TEST(zero_windows_is_an_error) {
    const std::string message = "number of windows must be positive";
    const auto empty = score_leaders({}, 0);
    CHECK(!empty.has_value() && empty.error() == message);
    const auto segments = build_segments({{10, {5}}}, 2);
    const auto some = score_leaders(segments, 0);
    CHECK(!some.has_value() && some.error() == message);
}

TEST(extreme_points_and_tolerance) {
    const std::uint64_t top = ~std::uint64_t{0};
    const auto wide = build_segments({{2, {0, top}}}, top);
    CHECK_EQ(wide.size(), 1u);
    const auto apart = build_segments({{2, {0, top}}}, top - 1);
    CHECK_EQ(apart.size(), 2u);
}
