#include "quarn/scores.hpp"

#include <cmath>
#include <cstddef>
#include <vector>

#include "check.hpp"
#include "sample_series.hpp"

using quarn::legendre_score;
using quarn::median_in_place;
using quarn::rank_scores;
using quarn::robust_scale;
using quarn::winsorize;

TEST(rank_scores_share_mid_ranks_between_ties) {
    const std::vector<double> x{3.0, 1.0, 3.0, 2.0};
    const std::vector<double> u = rank_scores(x);
    CHECK_BITS(u[0], 0.25);
    CHECK_BITS(u[1], -0.375);
    CHECK_BITS(u[2], 0.25);
    CHECK_BITS(u[3], -0.125);
}

TEST(rank_scores_ignore_scale_and_offset) {
    const std::vector<double> x = sample::noise(5, 200);
    std::vector<double> y;
    for (const double v : x) y.push_back(3.0 * v - 7.0);
    CHECK(rank_scores(x) == rank_scores(y));
}

TEST(legendre_scores_are_orthonormal_under_uniform_ranks) {
    // Midpoints of a fine grid on (-1/2, 1/2) stand in for uniform ranks.
    const int points = 100000;
    for (int i = 1; i <= 4; ++i) {
        for (int j = i; j <= 4; ++j) {
            double mean = 0.0, product = 0.0;
            for (int k = 0; k < points; ++k) {
                const double u = (k + 0.5) / points - 0.5;
                mean += legendre_score(u, i);
                product += legendre_score(u, i) * legendre_score(u, j);
            }
            CHECK(std::abs(mean / points) < 1e-6);
            CHECK(std::abs(product / points - (i == j ? 1.0 : 0.0)) < 1e-6);
        }
    }
}

TEST(median_of_odd_even_and_empty_counts) {
    std::vector<double> odd{5.0, 1.0, 3.0};
    CHECK_EQ(median_in_place(odd), 3.0);
    std::vector<double> even{4.0, 1.0, 3.0, 2.0};
    CHECK_EQ(median_in_place(even), 2.5);
    std::vector<double> none;
    CHECK(std::isnan(median_in_place(none)));
}

TEST(robust_scale_is_a_power_of_two_that_scales_exactly) {
    const std::vector<double> x = sample::noise(9, 300);
    const double scale = robust_scale(x);
    int exponent = 0;
    CHECK_EQ(std::frexp(scale, &exponent), 0.5);
    // Increments of unit Gaussian noise have spread sqrt(2).
    CHECK(scale == 1.0 || scale == 2.0);
    std::vector<double> y;
    for (const double v : x) y.push_back(v * 8.0);
    CHECK_BITS(robust_scale(y), 8.0 * scale);
}

TEST(robust_scale_falls_back_to_the_standard_deviation_then_to_one) {
    // Equal steps leave no spread in the increments.
    std::vector<double> ramp;
    for (int t = 0; t < 64; ++t) ramp.push_back(1024.0 * t);
    CHECK(robust_scale(ramp) > 1024.0);
    const std::vector<double> constant(10, 4.0);
    CHECK_EQ(robust_scale(constant), 1.0);
}

TEST(winsorize_pulls_in_a_spike_and_keeps_a_step) {
    std::vector<double> x = sample::noise(13, 60);
    for (std::size_t t = 30; t < x.size(); ++t) x[t] += 10.0;
    x[15] = 100.0;
    const std::vector<double> w = winsorize(x, 2, 3.0);
    CHECK(w[15] < 10.0);
    std::size_t changed = 0;
    for (std::size_t t = 0; t < x.size(); ++t) changed += w[t] != x[t];
    CHECK(changed <= 8);  // a few Gaussian values sit in the tails too
    CHECK(w[29] < 5.0 && w[30] > 5.0);
}

TEST(winsorize_leaves_short_or_flat_series_alone) {
    const std::vector<double> short_series{1.0, 50.0, 2.0};
    CHECK(winsorize(short_series, 2, 3.0) == short_series);
    const std::vector<double> flat(20, 1.5);
    CHECK(winsorize(flat, 2, 3.0) == flat);
}
