#include "quarn/threshold_runs.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "check.hpp"

using quarn::expand_threshold_runs;
using quarn::threshold_runs;

namespace {

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!check::same_bits(a[i], b[i])) return false;
    }
    return true;
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

TEST(runs_round_trip_to_the_same_bits) {
    const double other_nan = std::bit_cast<double>(std::bit_cast<std::uint64_t>(kNaN) | 1);
    const std::vector<std::vector<double>> cases = {
        {},
        {2.5},
        {kNaN, kNaN, kNaN},
        {1.0, 1.0, 1.0, 2.0, 2.0, 1.0},
        {0.0, -0.0, -0.0, 0.0},        // equal values, different bits
        {kNaN, other_nan, other_nan},  // NaN payloads kept apart
        {3.0, 3.0, kNaN, kNaN, 3.0, std::numeric_limits<double>::infinity()},
    };
    for (const auto& thresholds : cases) {
        const auto runs = threshold_runs(thresholds, thresholds.size());
        CHECK(runs.has_value());
        CHECK_EQ(runs->starts.size(), runs->values.size());
        CHECK(runs->starts.empty() || runs->starts.front() == 0);
        CHECK(same_bits(expand_threshold_runs(*runs, thresholds.size()), thresholds));
    }
}

TEST(runs_split_where_the_bits_change) {
    const auto runs = threshold_runs(std::vector<double>{4.0, 4.0, 0.0, -0.0, -0.0, 4.0}, 6);
    CHECK(runs.has_value());
    CHECK(runs->starts == (std::vector<std::uint64_t>{0, 2, 3, 5}));
    CHECK(same_bits(runs->values, {4.0, 0.0, -0.0, 4.0}));
}

TEST(too_many_runs_give_nothing) {
    const std::vector<double> thresholds{1.0, 2.0, 2.0, 3.0};
    CHECK(threshold_runs(thresholds, 3).has_value());
    CHECK(!threshold_runs(thresholds, 2).has_value());
    CHECK(threshold_runs(std::vector<double>{}, 0).has_value());
}
