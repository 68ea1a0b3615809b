#include "quarn/missing.hpp"

#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "check.hpp"

using quarn::PresentPositions;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

std::vector<std::uint64_t> restored(const PresentPositions& present,
                                    std::vector<std::uint64_t> positions) {
    present.restore_positions(positions);
    return positions;
}

}  // namespace

TEST(a_series_without_missing_values_keeps_its_positions) {
    const std::vector<double> series{1.0, -kInf, 3.0, 0.0};
    const PresentPositions present = PresentPositions::of(series);
    CHECK(!present.any_missing());
    CHECK_EQ(present.missing_count(), std::uint64_t{0});
    CHECK_EQ(present.present_count(), std::size_t{4});
    CHECK(restored(present, {0, 1, 3, 4}) == (std::vector<std::uint64_t>{0, 1, 3, 4}));
    CHECK_EQ(present.present_values(series).size(), std::size_t{4});
}

TEST(positions_count_present_values_and_map_back) {
    // present at 1, 2, 5, 6, 8; missing at 0, 3, 4, 7, 9 (negative NaN too)
    const std::vector<double> series{kNaN, 1.0, 2.0, -kNaN, kNaN, 5.0, kInf, kNaN, 8.0, kNaN};
    const PresentPositions present = PresentPositions::of(series);
    CHECK_EQ(present.missing_count(), std::uint64_t{5});
    CHECK_EQ(present.present_count(), std::size_t{5});
    CHECK_EQ(present.original_size(), std::size_t{10});
    const std::vector<double> values = present.present_values(series);
    CHECK(values.size() == 5);
    CHECK_BITS(values[0], 1.0);
    CHECK_BITS(values[2], 5.0);
    CHECK_BITS(values[3], kInf);
    CHECK_BITS(values[4], 8.0);
    // A split index is the first present value after the change; the end
    // (5 present values) is the end of the series.
    CHECK(restored(present, {0, 1, 2, 3, 4, 5}) == (std::vector<std::uint64_t>{1, 2, 5, 6, 8, 10}));
}

TEST(all_missing_and_empty_series) {
    const std::vector<double> nothing{};
    CHECK_EQ(PresentPositions::of(nothing).present_count(), std::size_t{0});
    const std::vector<double> gaps{kNaN, kNaN, kNaN};
    const PresentPositions present = PresentPositions::of(gaps);
    CHECK_EQ(present.present_count(), std::size_t{0});
    CHECK_EQ(present.missing_count(), std::uint64_t{3});
    CHECK(present.present_values(gaps).empty());
    CHECK_EQ(present.restore(0), std::uint64_t{3});
}

TEST(detector_output_positions_are_restored_everywhere) {
    std::vector<double> series(12, 0.0);
    series[0] = series[4] = series[5] = kNaN;  // present: 1, 2, 3, 6, 7, ..., 11
    const PresentPositions present = PresentPositions::of(series);
    quarn::DetectorOutput output;
    quarn::WindowResult window;
    window.window_size = 2;
    window.statistics = {0.1, 0.2, 0.3};
    window.change_points = {3};
    window.localized_regions = {{2, 5}};
    output.window_results.emplace(2, window);
    output.window_change_points[2] = {3};
    output.consensus.leaders_segment_votes = {{3, 2}, {8, 1}};
    output.consensus.leaders_scores = {{3, 0.5}, {8, 0.25}};
    output.consensus.leaders_probs = {{3, 0.75}, {8, 0.25}};
    output.consensus.cdf = {{3, 0.75}, {8, 1.0}};
    quarn::restore_positions(output, present);
    const quarn::WindowResult& moved = output.window_results.at(2);
    // Implied starts 0, 2, 4 become explicit and restored.
    CHECK(moved.starts == (std::vector<std::uint64_t>{1, 3, 7}));
    CHECK(moved.change_points == std::vector<std::uint64_t>{6});
    CHECK(moved.localized_regions.front().first == 3);
    CHECK(moved.localized_regions.front().second == 8);
    CHECK(output.window_change_points.at(2) == std::vector<std::uint64_t>{6});
    CHECK(output.consensus.leaders_segment_votes.begin()->first == 6);
    CHECK(output.consensus.leaders_segment_votes.rbegin()->first == 11);
    CHECK_EQ(output.consensus.leaders_scores.at(11), 0.25);
    CHECK_EQ(output.consensus.leaders_probs.at(6), 0.75);
    CHECK_EQ(output.consensus.cdf.back().first, std::uint64_t{11});
}

TEST(method_output_and_failures_are_restored) {
    const std::vector<double> series{1.0, kNaN, kNaN, 2.0, 3.0, kNaN, 4.0};
    const PresentPositions present = PresentPositions::of(series);
    quarn::MethodOutput output;
    quarn::ChangeReport first;
    first.interval_low = 1;
    first.interval_high = 2;
    quarn::ChangeReport second;
    second.interval_low = 2;
    second.interval_high = 3;
    output.changes.push_back({1, quarn::ChangeKind::level, 0.01, 3, first});
    output.changes.push_back({3, quarn::ChangeKind::spread, 0.02, 2, second});
    for (const auto& [start, stop] : {std::pair{0, 1}, {1, 3}, {3, 4}}) {
        quarn::SegmentReport segment;
        segment.start = start;
        segment.stop = stop;
        segment.count = stop - start;
        output.segments.push_back(segment);
    }
    quarn::restore_positions(output, present);
    CHECK_EQ(output.changes[0].position, std::uint64_t{3});
    CHECK_EQ(output.changes[1].position, std::uint64_t{6});
    CHECK_EQ(output.changes[0].report.interval_low, std::uint64_t{3});
    CHECK_EQ(output.changes[0].report.interval_high, std::uint64_t{4});
    CHECK_EQ(output.changes[1].report.interval_low, std::uint64_t{4});
    CHECK_EQ(output.changes[1].report.interval_high, std::uint64_t{6});
    // The segments tile the whole series and count the present values.
    const std::vector<std::uint64_t> starts{output.segments[0].start, output.segments[1].start,
                                            output.segments[2].start};
    const std::vector<std::uint64_t> stops{output.segments[0].stop, output.segments[1].stop,
                                           output.segments[2].stop};
    CHECK(starts == (std::vector<std::uint64_t>{0, 3, 6}));
    CHECK(stops == (std::vector<std::uint64_t>{3, 6, 7}));
    CHECK_EQ(output.segments[1].count, std::uint64_t{2});
    quarn::DetectorError error;
    error.non_finite_index = 2;
    quarn::restore_positions(error, present);
    CHECK_EQ(*error.non_finite_index, std::uint64_t{4});
}

TEST(segments_of_a_series_with_gaps_describe_its_present_values) {
    // Leading, inner and trailing gaps; change points at 4 and 9.
    const std::vector<double> series{kNaN, 1.0, 2.0, 3.0, 10.0, kNaN, 11.0, 12.0,
                                     kNaN, 5.0, 6.0, 7.0, kNaN};
    const std::vector<std::uint64_t> cuts{4, 9};
    const auto segments = quarn::describe_present_segments(series, cuts);
    CHECK_EQ(segments.size(), std::size_t{3});
    const std::vector<double> present{1.0, 2.0, 3.0, 10.0, 11.0, 12.0, 5.0, 6.0, 7.0};
    const auto compact = quarn::describe_segments(present, std::vector<std::uint64_t>{3, 6});
    const std::vector<std::uint64_t> starts{0, 4, 9}, stops{4, 9, 13};
    for (std::size_t i = 0; i < 3; ++i) {
        CHECK_EQ(segments[i].start, starts[i]);
        CHECK_EQ(segments[i].stop, stops[i]);
        CHECK_EQ(segments[i].count, std::uint64_t{3});
        CHECK_EQ(segments[i].level, compact[i].level);
        CHECK_EQ(segments[i].spread, compact[i].spread);
    }
    CHECK_EQ(segments[1].level, 11.0);
}
