#include "quarn/local_level.hpp"

#include <cstdint>
#include <vector>

#include "check.hpp"
#include "sample_series.hpp"

using quarn::estimate_local_level;
using quarn::level_jump_p_value;
using quarn::LocalLevel;
using quarn::ScoredSeries;
using quarn::Selection;
using quarn::SplitEvidence;
using quarn::TestKind;

namespace {

// A random walk with steps of sd `step` beneath unit Gaussian noise, plus
// `jump` from `at` on.
std::vector<double> walk(std::uint64_t seed, int n, double step, double jump = 0.0, int at = 0) {
    sample::Gaussian g(seed);
    std::vector<double> x;
    double level = 0.0;
    for (int t = 0; t < n; ++t) {
        level += step * g();
        x.push_back(level + g() + (jump != 0.0 && t >= at ? jump : 0.0));
    }
    return x;
}

std::vector<double> ar1(std::uint64_t seed, int n, double phi) {
    sample::Gaussian g(seed);
    std::vector<double> x;
    double previous = 0.0;
    for (int t = 0; t < n; ++t) x.push_back(previous = phi * previous + g());
    return x;
}

Selection level_points(std::vector<std::uint64_t> points) {
    Selection selection;
    for (const std::uint64_t p : points) {
        selection.points.push_back(p);
        selection.evidence.push_back(SplitEvidence{1e-6, TestKind::level});
    }
    return selection;
}

}  // namespace

TEST(differences_across_a_cut_are_left_out) {
    // Two constant segments: inside them every difference is 0.
    std::vector<double> x(100, 0.0);
    for (int t = 50; t < 100; ++t) x[t] = 10.0;
    const ScoredSeries series(x);
    const std::vector<std::uint64_t> cut{50};
    const quarn::DifferenceSpread one = quarn::difference_spread(series, cut, 1);
    CHECK_EQ(one.count, std::size_t{98});
    CHECK_BITS(one.variance, 0.0);
    CHECK_EQ(quarn::difference_spread(series, cut, 8).count, std::size_t{84});
    CHECK_EQ(quarn::difference_spread(series, {}, 8).count, std::size_t{92});
    CHECK_EQ(quarn::difference_spread(series, {}, 100).count, std::size_t{0});
}

TEST(a_walk_beneath_noise_is_recognised_with_its_step_to_noise_ratio) {
    // Steps of sd 0.1, 0.2 and 0.4 against unit noise: ratios of variances
    // 0.01, 0.04 and 0.16.
    for (const double step : {0.1, 0.2, 0.4}) {
        for (const std::uint64_t seed : {3, 4, 5}) {
            const std::vector<double> x = walk(seed, 5000, step);
            const ScoredSeries series(x);
            const LocalLevel model = estimate_local_level(series, {});
            CHECK(model.walk);
            const double ratio = model.step_variance / model.noise_variance;
            // One path of a walk shows its steps' variance only roughly.
            CHECK(ratio > step * step / 3.0 && ratio < 3.0 * step * step);
        }
    }
}

TEST(stationary_noise_is_no_walk) {
    // Independent noise, and AR(1) noise persistent enough to wander over
    // tens of values, level off at long lags.
    for (const std::uint64_t seed : {1, 2, 3}) {
        const std::vector<double> e = sample::noise(seed, 4000);
        const std::vector<double> x = ar1(seed, 4000, 0.9);
        CHECK(!estimate_local_level(ScoredSeries(e), {}).walk);
        CHECK(!estimate_local_level(ScoredSeries(x), {}).walk);
    }
}

TEST(a_jump_far_beyond_the_walks_steps_stands_out_and_its_wandering_does_not) {
    const std::vector<double> x = walk(5, 4000, 0.2, 6.0, 2000);
    const ScoredSeries series(x);
    const LocalLevel model = estimate_local_level(series, std::vector<std::uint64_t>{2000});
    CHECK(model.walk);
    CHECK(level_jump_p_value(series, model, 0, 2000, 4000) < 1e-6);
    // A few values off the jump still find it.
    CHECK(level_jump_p_value(series, model, 0, 2004, 4000) < 1e-6);
    for (const std::size_t c : {500, 1000, 3000, 3500}) {
        CHECK(level_jump_p_value(series, model, 0, c, 4000) > 0.05);
    }
    // No room for a side.
    CHECK_BITS(level_jump_p_value(series, model, 2000, 2000, 4000), 1.0);
}

TEST(only_the_jump_is_kept_among_points_of_a_walk) {
    const std::vector<double> x = walk(5, 4000, 0.2, 6.0, 2000);
    const ScoredSeries series(x);
    Selection selection = level_points({700, 1300, 2000, 2600, 3300});
    selection.evidence[3].kind = TestKind::spread;  // not a level change: kept
    const LocalLevel model = quarn::keep_level_jumps(series, selection, 0.05);
    CHECK(model.walk);
    CHECK(selection.points == (std::vector<std::uint64_t>{2000, 2600}));
    CHECK(selection.evidence[1].kind == TestKind::spread);
}

TEST(shifts_in_stationary_noise_are_all_kept) {
    // A staircase of shifts in independent noise, and shifts in AR(1)
    // noise: the whole series wanders, the stretches between its shifts
    // do not.
    std::vector<double> stairs = sample::noise(9, 1000);
    std::vector<double> persistent = ar1(9, 3000, 0.9);
    for (int t = 0; t < 1000; ++t) stairs[t] += 2.0 * (t / 125);
    for (int t = 1000; t < 3000; ++t) persistent[t] += t < 2000 ? 8.0 : 3.0;
    const std::vector<std::uint64_t> steps{125, 250, 375, 500, 625, 750, 875};
    Selection selection = level_points(steps);
    CHECK(!quarn::keep_level_jumps(ScoredSeries(stairs), selection, 0.05).walk);
    CHECK(selection.points == steps);
    selection = level_points({1000, 2000});
    CHECK(!quarn::keep_level_jumps(ScoredSeries(persistent), selection, 0.05).walk);
    CHECK(selection.points.size() == 2);
}
