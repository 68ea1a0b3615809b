#include "quarn/stretch_search.hpp"

#include <oneapi/tbb/task_arena.h>

#include <algorithm>
#include <cstdint>
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

}  // namespace

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
