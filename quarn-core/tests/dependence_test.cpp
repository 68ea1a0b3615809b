#include "quarn/dependence.hpp"

#include <oneapi/tbb/task_arena.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "check.hpp"
#include "quarn/pool.hpp"
#include "sample_series.hpp"

using quarn::ar1_variance_ratio;
using quarn::DependenceFactors;
using quarn::estimate_dependence;
using quarn::ScoredSeries;

namespace {

bool near(double actual, double expected) {
    return std::abs(actual - expected) <= 1e-12 * std::max(1.0, std::abs(expected));
}

DependenceFactors factors(const std::vector<double>& x, std::vector<std::uint64_t> cuts = {}) {
    const ScoredSeries series(x);
    return estimate_dependence(series, cuts);
}

std::vector<double> squares(std::size_t n) {
    std::vector<double> x(n);
    for (std::size_t t = 0; t < n; ++t) x[t] = static_cast<double>(t * t);
    return x;
}

}  // namespace

TEST(variance_ratio_of_an_ar1_process) {
    CHECK_BITS(ar1_variance_ratio(0.0), 1.0);
    CHECK_BITS(ar1_variance_ratio(0.5), 3.0);
    CHECK(near(ar1_variance_ratio(quarn::max_autocorrelation), 39.0));
}

TEST(a_step_left_in_the_residuals_is_a_little_autocorrelated) {
    // 0 0 0 0 1 1 1 1 less its line (slope 4/21) leaves, in 42nds,
    // 7 -1 -9 -17 17 9 1 -7: lag-1 products 21, squares 840, r = 1/40,
    // factor (1 + r) / (1 - r) = 41/39. The rank scores (-1/4 and 1/4)
    // have the same shape. Squared rank deviations and the even fourth
    // Legendre score are constant: no dependence.
    const DependenceFactors f = factors({0, 0, 0, 0, 1, 1, 1, 1});
    CHECK(near(f.level, 41.0 / 39.0));
    CHECK(near(f.trend, 41.0 / 39.0));
    CHECK_BITS(f.spread, 1.0);
    CHECK_BITS(f.shape, 1.0);

    // Cut at the step, both segments are constant.
    const DependenceFactors cut = factors({0, 0, 0, 0, 1, 1, 1, 1}, {4});
    CHECK_BITS(cut.level, 1.0);
    CHECK_BITS(cut.trend, 1.0);
}

TEST(a_curve_less_its_line_is_strongly_autocorrelated) {
    // t^2 for t = 0 .. 9 less its line: lag-1 autocorrelation exactly 1/2
    // (factor 3); over 200 values it is 0.975, clipped to 0.95 (factor 39).
    CHECK(near(factors(squares(10)).trend, 3.0));
    CHECK(near(factors(squares(200)).trend, ar1_variance_ratio(quarn::max_autocorrelation)));
}

TEST(negative_autocorrelation_and_short_segments_count_as_none) {
    const DependenceFactors alternating = factors({1, -1, 1, -1, 1, -1, 1, -1, 1, -1});
    CHECK_BITS(alternating.level, 1.0);
    CHECK_BITS(alternating.trend, 1.0);
    // Segments of 3, 3 and 4 values: the first two are too short to count,
    // the last (36 49 64 81) less its line is 1 -1 -1 1 times a constant,
    // r = -1/4, clipped to 0.
    const DependenceFactors pieces = factors(squares(10), {3, 6});
    CHECK_BITS(pieces.spread, 1.0);
    CHECK_BITS(pieces.trend, 1.0);
}

TEST(persistence_is_the_level_residuals_lag_one_correlation) {
    // Independent noise shows next to none; AR(1) noise with phi 0.8 about
    // the rank correlation of its neighbours, (6 / pi) asin(phi / 2) = 0.79.
    const std::vector<double> e = sample::noise(11, 4000);
    CHECK(factors(e).persistence < 0.05);
    std::vector<double> x(e.size());
    double previous = 0.0;
    for (std::size_t t = 0; t < e.size(); ++t) x[t] = previous = 0.8 * previous + e[t];
    const DependenceFactors f = factors(x);
    CHECK(f.persistence > 0.74 && f.persistence < 0.84);
    CHECK(near(f.level, ar1_variance_ratio(f.persistence)));
}

TEST(the_factors_are_the_same_on_any_pool) {
    // The kinds of residual are summed on the pool's threads on long series:
    // persistent noise with a cycle, one segment longer than those whose
    // scores are kept, longer and shorter ones than a run of them holds,
    // some too short to count.
    const std::vector<double> e = sample::noise(11, 90000);
    std::vector<double> x(e.size());
    double previous = 0.0;
    for (std::size_t t = 0; t < x.size(); ++t) {
        previous = 0.6 * previous + e[t];
        x[t] = previous + std::sin(static_cast<double>(t) * 0.5236) + (t >= 70000 ? 2.0 : 0.0);
    }
    const ScoredSeries series(x);
    const std::vector<std::uint64_t> cuts{70000, 70003, 75000, 80000, 88000, 88010,
                                          88011, 88100, 88500, 89000, 89990};
    const auto same = [](const DependenceFactors& a, const DependenceFactors& b) {
        return check::same_bits(a.level, b.level) && check::same_bits(a.spread, b.spread) &&
               check::same_bits(a.shape, b.shape) && check::same_bits(a.trend, b.trend) &&
               check::same_bits(a.persistence, b.persistence);
    };
    for (const std::size_t lag : {std::size_t{0}, std::size_t{12}}) {
        DependenceFactors alone;
        {
            const quarn::SerialHere here;
            alone = estimate_dependence(series, cuts, lag);
        }
        CHECK(alone.level > 1.5);
        for (const int threads : {1, 2, 3, 8}) {
            tbb::task_arena arena(threads);
            DependenceFactors pooled;
            arena.execute([&] { pooled = estimate_dependence(series, cuts, lag); });
            CHECK(same(pooled, alone));
        }
    }
}
