#include "quarn/threshold_runs.hpp"

#include <bit>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "check.hpp"

using quarn::ThresholdRecorder;
using quarn::ThresholdRuns;

namespace {

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!check::same_bits(a[i], b[i])) return false;
    }
    return true;
}

// Records `thresholds` and returns (per position, runs).
std::pair<std::vector<double>, ThresholdRuns> recorded(const std::vector<double>& thresholds,
                                                       bool by_runs) {
    ThresholdRecorder recorder(thresholds.size(), by_runs);
    for (const double threshold : thresholds) recorder.record(threshold);
    std::pair<std::vector<double>, ThresholdRuns> out;
    std::move(recorder).finish(out.first, out.second);
    return out;
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

TEST(runs_give_back_the_same_bits) {
    const double other_nan = std::bit_cast<double>(std::bit_cast<std::uint64_t>(kNaN) | 1);
    const std::vector<std::vector<double>> cases = {
        {},
        {2.5},
        {kNaN, kNaN, kNaN},
        {1.0, 1.0, 1.0, 2.0, 2.0, 1.0},
        {0.0, -0.0, -0.0, 0.0},        // equal values, different bits
        {kNaN, other_nan, other_nan},  // NaN payloads kept apart
        {3.0, 3.0, kNaN, kNaN, 3.0, std::numeric_limits<double>::infinity()},
        {1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0},  // every position a run
    };
    for (const auto& thresholds : cases) {
        for (const bool by_runs : {false, true}) {
            const auto [per_position, runs] = recorded(thresholds, by_runs);
            CHECK(per_position.empty() || runs.starts.empty());
            CHECK_EQ(runs.starts.size(), runs.values.size());
            const std::vector<double> back =
                runs.starts.empty() ? per_position
                                    : quarn::expand_threshold_runs(runs, thresholds.size());
            CHECK(same_bits(back, thresholds));
        }
    }
}

TEST(runs_split_where_the_bits_change) {
    const auto [per_position, runs] =
        recorded({4.0, 4.0, 0.0, -0.0, -0.0, 4.0, 4.0, 4.0, 4.0}, true);
    CHECK(per_position.empty());
    CHECK(runs.starts == (std::vector<std::uint64_t>{0, 2, 3, 5}));
    CHECK(same_bits(runs.values, {4.0, 0.0, -0.0, 4.0}));
}

TEST(runs_give_way_to_positions_once_they_would_take_more_memory) {
    // 8 positions allow 4 runs; the fifth run switches to one per position.
    const std::vector<double> four{1.0, 1.0, 2.0, 2.0, 3.0, 3.0, 4.0, 4.0};
    CHECK(recorded(four, true).second.starts.size() == 4);
    const std::vector<double> five{1.0, 1.0, 2.0, 2.0, 3.0, 3.0, 4.0, 5.0};
    ThresholdRecorder recorder(five.size(), true);
    for (std::size_t i = 0; i < five.size(); ++i) {
        recorder.record(five[i]);
        CHECK_EQ(recorder.by_runs(), i < 7);
    }
    std::vector<double> per_position;
    ThresholdRuns runs;
    std::move(recorder).finish(per_position, runs);
    CHECK(runs.starts.empty() && runs.values.empty());
    CHECK(same_bits(per_position, five));
}
