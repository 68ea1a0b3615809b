#include "quarn/stretch_search.hpp"

#include <oneapi/tbb/task_arena.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "check.hpp"
#include "sample_series.hpp"

using quarn::ScoredSeries;
using quarn::stretch_candidates;

namespace {

// The tests' own generator, the same on every standard library.
std::vector<double> gaussian(std::size_t n, std::uint32_t seed) {
    return sample::noise(seed, static_cast<int>(n));
}

bool near(const std::vector<std::uint64_t>& points, std::uint64_t target, std::uint64_t margin) {
    return std::any_of(points.begin(), points.end(), [&](std::uint64_t p) {
        return p + margin >= target && p <= target + margin;
    });
}

// The binary segmentation written plainly: every offset's z from its
// quotients and square root, each stretch split before the next is looked at.
void reference_splits(const ScoredSeries& series, std::size_t a, std::size_t b,
                      std::vector<std::uint64_t>& found) {
    const std::size_t m = b - a, side = quarn::stretch_min_side;
    if (m < 2 * side) return;
    const double md = static_cast<double>(m);
    const auto score = [&](std::size_t t, int kind) {
        const double rank = series.rank(t);
        return kind == 0 ? rank : quarn::legendre_score(rank, 2);
    };
    std::pair<std::size_t, double> best[2] = {{0, 0.0}, {0, 0.0}};
    for (int kind = 0; kind < 2; ++kind) {
        double total = 0.0, squares = 0.0;
        for (std::size_t t = a; t < b; ++t) total += score(t, kind);
        const double mean = total / md;
        for (std::size_t t = a; t < b; ++t) squares += (score(t, kind) - mean) * (score(t, kind) - mean);
        const double sd = std::sqrt(squares / md);
        if (!(sd > 1e-9)) continue;
        double running = 0.0;
        for (std::size_t k = 1; k + side <= m; ++k) {
            running += score(a + k - 1, kind);
            if (k < side) continue;
            const double kd = static_cast<double>(k);
            const double z = std::abs(running - kd * mean) / std::sqrt(kd * (md - kd) / md) / sd;
            if (z > best[kind].second) best[kind] = {k, z};
        }
    }
    const auto& pick = best[1].second > best[0].second ? best[1] : best[0];
    if (!(pick.second >= std::sqrt(2.0 * std::log(md)))) return;
    found.push_back(a + pick.first);
    reference_splits(series, a, a + pick.first, found);
    reference_splits(series, a + pick.first, b, found);
}

}  // namespace

TEST(the_same_points_as_the_plain_scan) {
    // Noise, shifts of level and spread, ties, a trend, long constant runs.
    for (std::uint32_t seed = 1; seed <= 4; ++seed) {
        for (int shape = 0; shape < 5; ++shape) {
            const std::size_t n = shape == 4 ? 300 : 3000 + 1700 * seed;
            std::vector<double> x = gaussian(n, seed * 17 + static_cast<std::uint32_t>(shape));
            for (std::size_t t = 0; t < n; ++t) {
                const double place = static_cast<double>(t) / static_cast<double>(n);
                if (shape == 1) x[t] += place > 0.3 && place < 0.7 ? 0.8 : 0.0;
                if (shape == 2) x[t] = std::round(x[t] * (place > 0.5 ? 2.0 : 1.0));
                if (shape == 3) x[t] = place < 0.4 ? 1.0 : x[t] + 3.0 * place;
                if (shape == 4) x[t] += 0.02 * static_cast<double>(t % 50);
            }
            const ScoredSeries series(x);
            std::vector<std::uint64_t> expected;
            reference_splits(series, 0, n, expected);
            std::sort(expected.begin(), expected.end());
            CHECK(stretch_candidates(series) == expected);
        }
    }
}

TEST(a_small_shift_on_a_long_stretch_is_proposed) {
    for (std::uint32_t seed = 1; seed <= 5; ++seed) {
        std::vector<double> x = gaussian(20000, seed);
        for (std::size_t t = 10000; t < x.size(); ++t) x[t] += 0.15;
        const ScoredSeries series(x);
        CHECK(near(stretch_candidates(series), 10000, 500));
    }
}

TEST(a_small_change_of_spread_is_proposed) {
    std::vector<double> x = gaussian(20000, 7);
    for (std::size_t t = 12000; t < x.size(); ++t) x[t] *= 1.25;
    const ScoredSeries series(x);
    CHECK(near(stretch_candidates(series), 12000, 500));
}

TEST(candidates_are_ascending_distinct_and_inside) {
    std::vector<double> x = gaussian(5000, 3);
    for (std::size_t t = 1000; t < 3000; ++t) x[t] += 2.0;
    const ScoredSeries series(x);
    const auto found = stretch_candidates(series);
    CHECK(near(found, 1000, 5) && near(found, 3000, 5));
    CHECK(std::is_sorted(found.begin(), found.end()));
    CHECK(std::adjacent_find(found.begin(), found.end()) == found.end());
    for (const auto p : found) CHECK(p >= quarn::stretch_min_side && p + quarn::stretch_min_side <= 5000);
}

TEST(short_and_constant_series_give_none) {
    CHECK(stretch_candidates(ScoredSeries(gaussian(39, 1))).empty());
    CHECK(stretch_candidates(ScoredSeries(std::vector<double>(1000, 1.0))).empty());
}

TEST(the_same_points_on_one_two_or_three_threads) {
    // Shifts of many sizes and spreads: several generations of stretches,
    // some split, some not, searched side by side.
    std::vector<double> x = gaussian(60000, 11);
    for (std::size_t t = 0; t < x.size(); ++t) {
        const std::size_t block = t / 1500;
        x[t] = x[t] * (block % 3 == 0 ? 1.3 : 1.0) + 0.1 * static_cast<double>(block % 7);
    }
    const ScoredSeries series(x);
    std::vector<std::vector<std::uint64_t>> found;
    for (const int threads : {1, 2, 3}) {
        tbb::task_arena arena(threads);
        arena.execute([&] { found.push_back(stretch_candidates(series)); });
    }
    CHECK(found[0].size() > 20);
    CHECK(found[1] == found[0]);
    CHECK(found[2] == found[0]);
}
