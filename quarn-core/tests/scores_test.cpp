#include "quarn/scores.hpp"

#include <oneapi/tbb/task_arena.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
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

TEST(median_of_without_a_copy_from_a_lower_length_gives_the_copy_s_bits) {
    // Lengths about the lowest streamed one, odd and even; noise, values in
    // few distinct levels (ties about the median), and zeros of both signs
    // at the median (the copy decides their sign).
    for (const std::size_t n : {std::size_t{1} << 17, (std::size_t{1} << 17) + 1,
                                (std::size_t{1} << 18) + 3}) {
        const std::vector<double> noise = sample::noise(23, n);
        std::vector<double> ties(n), zeros(n);
        for (std::size_t t = 0; t < n; ++t) {
            ties[t] = std::round(noise[t] * 2.0);
            zeros[t] = t % 3 == 0 ? -0.0 : (t % 3 == 1 ? 0.0 : noise[t]);
        }
        for (const std::vector<double>* x : {&noise, static_cast<const std::vector<double>*>(&ties),
                                              static_cast<const std::vector<double>*>(&zeros)}) {
            for (const bool keep_zero_sign : {false, true}) {
                std::vector<double> copy = *x;
                const double expected = median_in_place(copy);
                const double streamed = quarn::median_of(
                    n, [x](std::size_t t) { return (*x)[t]; }, keep_zero_sign, nullptr,
                    std::size_t{1} << 16);
                if (keep_zero_sign) {
                    CHECK_BITS(streamed, expected);
                } else {
                    CHECK_EQ(streamed, expected);
                }
            }
        }
    }
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

TEST(robust_scale_follows_a_step_across_the_whole_range) {
    // No spread in the increments: the standard deviation decides, whose
    // sums overflow above about 1e154 and whose squares vanish below about
    // 1e-154. The scale is a power of two in [h/4, h] for a step of h
    // (standard deviation h/2, rounded to a power of two within a factor
    // of the square root of 2), wherever h lies.
    for (int exponent = -1060; exponent <= 1023; exponent += 13) {
        for (const double mantissa : {1.0, 1.5, 1.9}) {
            const double h = std::ldexp(mantissa, exponent);
            std::vector<double> x(200, 0.0);
            std::fill(x.begin() + 100, x.end(), h);
            const double scale = robust_scale(x);
            CHECK(scale >= h / 4 && scale <= h);
        }
    }
    // A step from the most negative to the largest double: the largest
    // power of two.
    std::vector<double> x(200, -1.7976931348623157e308);
    std::fill(x.begin() + 100, x.end(), 1.7976931348623157e308);
    CHECK_BITS(robust_scale(x), std::ldexp(1.0, 1023));
}

TEST(robust_scale_of_ordinary_series_keeps_its_first_form) {
    // The plain standard deviation, rounded to a power of two, as before
    // the rescaled fallback existed.
    std::vector<double> ramp;
    for (int t = 0; t < 64; ++t) ramp.push_back(1024.0 * t);
    double mean = 0.0;
    for (const double v : ramp) mean += v;
    mean /= 64.0;
    double squares = 0.0;
    for (const double v : ramp) squares += (v - mean) * (v - mean);
    int exponent = 0;
    const double mantissa = std::frexp(std::sqrt(squares / 64.0), &exponent);
    CHECK_BITS(robust_scale(ramp),
               std::ldexp(1.0, mantissa < std::sqrt(0.5) ? exponent - 1 : exponent));
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

namespace {

// Series whose standardised and winsorized values the compact form must
// reproduce: spikes that winsorizing moves (also at both ends), ties,
// heavy tails, the shortest series with a full window and one without,
// constant values, and values whose differences overflow.
std::vector<std::vector<double>> awkward_series() {
    std::vector<double> spikes = sample::noise(3, 300);
    for (const std::size_t t : {0, 1, 70, 71, 150, 298, 299}) spikes[t] += t % 2 ? -40.0 : 60.0;
    std::vector<double> ties;
    for (int t = 0; t < 200; ++t) ties.push_back(static_cast<double>((t * 7919) % 5) - 2.0);
    sample::Gaussian g(9);
    std::vector<double> heavy;
    for (int t = 0; t < 500; ++t) heavy.push_back(g() / (std::abs(g()) + 1e-3));
    const double big = 1.7e308;
    return {spikes,
            ties,
            heavy,
            sample::steps(),
            {1.0, 9.0, -4.0, 2.0, 3.0},
            {1.0, 50.0, 2.0, 0.0},
            std::vector<double>(30, -2.5),
            {big, -big, big, 0.5 * big, -big, big, -0.25 * big, 0.0}};
}

}  // namespace

TEST(standard_values_equal_the_standardised_and_winsorized_vectors_bit_for_bit) {
    int moved = 0;
    for (const std::vector<double>& x : awkward_series()) {
        const quarn::StandardValues values(x);
        CHECK_EQ(values.size(), x.size());
        std::vector<double> raw(x);
        const double centre = median_in_place(raw);
        const double scale = robust_scale(x);
        bool finite = true;
        for (std::size_t t = 0; t < x.size(); ++t) finite = finite && std::isfinite(x[t] - centre);
        const std::vector<double> expected_raw = values.raw_values();
        for (std::size_t t = 0; t < x.size(); ++t) {
            raw[t] = finite ? (x[t] - centre) / scale
                            : std::ldexp(x[t], -1023) - std::ldexp(centre, -1023);
            CHECK_BITS(values.raw(t), raw[t]);
            CHECK_BITS(expected_raw[t], raw[t]);
        }
        CHECK_BITS(values.unit(), finite ? scale : std::ldexp(1.0, 1023));
        const std::vector<double> winsorized = winsorize(raw, 2, 3.0);
        for (std::size_t t = 0; t < x.size(); ++t) {
            CHECK_BITS(values.value(t), winsorized[t]);
            moved += winsorized[t] != raw[t];
        }
    }
    CHECK(moved >= 7);  // the spikes, at least
}

TEST(scored_series_ranks_equal_rank_scores_bit_for_bit) {
    for (const std::vector<double>& x : awkward_series()) {
        const quarn::ScoredSeries series(x);
        const std::vector<double> u = rank_scores(x);
        const std::vector<std::uint32_t> doubled = quarn::doubled_mid_ranks(x);
        CHECK_EQ(series.size(), x.size());
        for (std::size_t t = 0; t < x.size(); ++t) {
            CHECK_BITS(series.rank(t), u[t]);
            // Twice a mid-rank: a rank sum over the tie group of 2 * start + count - 1.
            std::size_t below = 0, equal = 0;
            for (const double v : x) {
                below += v < x[t];
                equal += v == x[t];
            }
            CHECK_EQ(static_cast<std::size_t>(doubled[t]), 2 * below + equal - 1);
        }
    }
}

TEST(ranks_of_long_series_with_ties_equal_a_plain_sort) {
    // Long enough for the sorted runs to be merged over several levels.
    const std::size_t n = 300'000;
    std::vector<double> x(n);
    std::uint64_t state = 12345;
    for (double& v : x) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        v = static_cast<double>((state >> 33) % 5000) - 2500.0;  // many ties
    }
    x[7] = -0.0;
    x[8] = 0.0;
    const std::vector<std::uint32_t> ranks = quarn::doubled_mid_ranks(x);
    std::vector<double> sorted(x);
    std::sort(sorted.begin(), sorted.end());
    bool same = ranks.size() == n;
    for (std::size_t t = 0; same && t < n; t += 97) {
        const auto low = std::lower_bound(sorted.begin(), sorted.end(), x[t]) - sorted.begin();
        const auto high = std::upper_bound(sorted.begin(), sorted.end(), x[t]) - sorted.begin();
        same = ranks[t] == static_cast<std::uint32_t>(low + high - 1);
    }
    CHECK(same);
}

TEST(ranks_of_series_ranked_in_slices_equal_a_plain_sort) {
    // Long enough to be ranked a slice of the range at a time; heavy ties
    // (some on the slices' bounds), signed zeros, and the extremes.
    const std::size_t n = (std::size_t{1} << 21) + 123'457;
    std::vector<double> x(n);
    std::uint64_t state = 777;
    for (std::size_t t = 0; t < n; ++t) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        const std::uint64_t r = state >> 33;
        x[t] = r % 4 == 0 ? static_cast<double>(r % 7)  // ties spanning many slices' worth
                          : static_cast<double>(r % 1'000'003) * 0.001 - 500.0;
    }
    x[11] = -0.0;
    x[12] = 0.0;
    x[13] = std::numeric_limits<double>::max();
    x[14] = std::numeric_limits<double>::lowest();
    const std::vector<std::uint32_t> ranks = quarn::doubled_mid_ranks(x);
    std::vector<double> sorted(x);
    std::sort(sorted.begin(), sorted.end());
    bool same = ranks.size() == n;
    for (std::size_t t = 0; same && t < n; t += 31) {
        const auto low = std::lower_bound(sorted.begin(), sorted.end(), x[t]) - sorted.begin();
        const auto high = std::upper_bound(sorted.begin(), sorted.end(), x[t]) - sorted.begin();
        same = ranks[t] == static_cast<std::uint32_t>(low + high - 1);
    }
    CHECK(same);
    for (std::size_t t = 11; t < 15; ++t) {
        const auto low = std::lower_bound(sorted.begin(), sorted.end(), x[t]) - sorted.begin();
        const auto high = std::upper_bound(sorted.begin(), sorted.end(), x[t]) - sorted.begin();
        CHECK_EQ(ranks[t], static_cast<std::uint32_t>(low + high - 1));
    }
}

namespace {

// Doubled mid-ranks as a plain sort gives them, NaNs after every number.
std::vector<std::uint32_t> plain_ranks(const std::vector<double>& x) {
    std::vector<double> sorted;
    for (const double v : x) {
        if (!std::isnan(v)) sorted.push_back(v);
    }
    std::sort(sorted.begin(), sorted.end());
    std::vector<std::uint32_t> ranks(x.size());
    std::size_t nans = 0;
    for (std::size_t t = 0; t < x.size(); ++t) {
        if (std::isnan(x[t])) {
            ranks[t] = static_cast<std::uint32_t>(2 * (sorted.size() + nans++));
            continue;
        }
        const auto low = std::lower_bound(sorted.begin(), sorted.end(), x[t]) - sorted.begin();
        const auto high = std::upper_bound(sorted.begin(), sorted.end(), x[t]) - sorted.begin();
        ranks[t] = static_cast<std::uint32_t>(low + high - 1);
    }
    return ranks;
}

std::vector<std::uint32_t> ranks_on_threads(const std::vector<double>& x, int threads) {
    tbb::task_arena arena(threads);
    std::vector<std::uint32_t> ranks;
    arena.execute([&] { ranks = quarn::doubled_mid_ranks(x); });
    return ranks;
}

}  // namespace

TEST(ranks_are_the_same_on_one_two_or_three_threads) {
    // Runs of unequal lengths merged over several levels, with heavy ties.
    const std::size_t n = 300'001;
    std::vector<double> x(n);
    std::uint64_t state = 99;
    for (double& v : x) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        v = static_cast<double>((state >> 33) % 3000) * 0.5;
    }
    const std::vector<std::uint32_t> expected = plain_ranks(x);
    for (const int threads : {1, 2, 3}) CHECK(ranks_on_threads(x, threads) == expected);
}

TEST(nan_values_rank_after_every_number_in_order) {
    // A NaN compares false with everything: the merges still need an order.
    std::vector<double> x = sample::noise(21, 200'000);
    for (std::size_t t = 5; t < x.size(); t += 997) x[t] = std::numeric_limits<double>::quiet_NaN();
    const std::vector<std::uint32_t> expected = plain_ranks(x);
    for (const int threads : {1, 3}) {
        std::vector<std::uint32_t> ranks = ranks_on_threads(x, threads);
        // NaNs are never equal: each takes its own rank above the numbers,
        // in some order.
        std::vector<std::uint32_t> nan_ranks, nan_expected;
        for (std::size_t t = 0; t < x.size(); ++t) {
            if (!std::isnan(x[t])) continue;
            nan_ranks.push_back(ranks[t]);
            nan_expected.push_back(expected[t]);
            ranks[t] = expected[t];
        }
        std::sort(nan_ranks.begin(), nan_ranks.end());
        CHECK(nan_ranks == nan_expected);
        CHECK(ranks == expected);
    }
}

TEST(a_stop_request_ends_the_ranking_early) {
    quarn::RunControl control;
    control.request_stop();
    const std::vector<double> x(200'000, 1.5);
    CHECK(quarn::doubled_mid_ranks(x, &control).empty());
    CHECK_EQ(quarn::doubled_mid_ranks(x).size(), x.size());
}

TEST(medians_of_long_arrays_equal_those_of_a_sort) {
    // Long enough for the partitions before the final selection; ties,
    // sorted and reversed runs, and an even and an odd count.
    std::uint64_t state = 99;
    const auto next = [&state] {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return state >> 33;
    };
    for (const std::size_t n : {200'001u, 200'000u}) {
        for (int kind = 0; kind < 4; ++kind) {
            std::vector<double> x(n);
            for (std::size_t i = 0; i < n; ++i) {
                const double r = static_cast<double>(next() % 100'000);
                x[i] = kind == 0   ? r
                       : kind == 1 ? static_cast<double>(next() % 3)  // three values
                       : kind == 2 ? static_cast<double>(i)           // sorted
                                   : -static_cast<double>(i) * 0.5;   // reversed
            }
            std::vector<double> sorted(x);
            std::sort(sorted.begin(), sorted.end());
            const double expected =
                n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2.0;
            CHECK_BITS(median_in_place(x), expected);
        }
    }
}

TEST(medians_of_short_arrays_have_the_bits_of_a_plain_selection) {
    // Below the long arrays' partitions, by the selection of arrays without
    // zeros or NaN or by the other: either way the bits std::nth_element
    // and the largest value before its place give, zeros of both signs and
    // NaN included. Runs of ties, sorted and reversed runs, few values.
    std::uint64_t state = 7;
    const auto next = [&state] {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return state >> 33;
    };
    const auto plain = [](std::vector<double> x) {
        const auto middle = x.begin() + static_cast<std::ptrdiff_t>(x.size() / 2);
        std::nth_element(x.begin(), middle, x.end());
        if (x.size() % 2 == 1) return *middle;
        return (*std::max_element(x.begin(), middle) + *middle) / 2.0;
    };
    bool same = true;
    for (const std::size_t n : {1u, 2u, 3u, 31u, 32u, 33u, 34u, 100u, 101u, 1000u, 4097u, 65'536u}) {
        for (int kind = 0; kind < 7; ++kind) {
            std::vector<double> x(n);
            for (std::size_t i = 0; i < n; ++i) {
                const double r = static_cast<double>(next() % 100'000) - 50'000.5;
                x[i] = kind == 0   ? r
                       : kind == 1 ? static_cast<double>(next() % 3) + 1.0    // three values
                       : kind == 2 ? static_cast<double>(i) + 0.25            // sorted
                       : kind == 3 ? -static_cast<double>(i) * 0.5 - 1.0      // reversed
                       : kind == 4 ? (next() % 2 ? 0.0 : -0.0)                // zeros of both signs
                       : kind == 5 ? static_cast<double>(next() % 3) - 1.0    // some zeros
                                   : (i % 7 == 3 ? std::numeric_limits<double>::quiet_NaN() : r);
            }
            const double expected = plain(x);
            std::vector<double> copy(x);
            const double found = median_in_place(copy);
            same = same && check::same_bits(found, expected);
            // The values are reordered, none lost.
            std::vector<double> a(x), b(copy);
            std::sort(a.begin(), a.end(), [](double u, double v) { return u < v; });
            std::sort(b.begin(), b.end(), [](double u, double v) { return u < v; });
            if (kind < 4) same = same && a == b;
        }
    }
    CHECK(same);
}

TEST(a_stop_request_ends_a_long_median_early) {
    quarn::RunControl control;
    control.request_stop();
    std::vector<double> x(200'000, 2.0);
    CHECK(std::isnan(median_in_place(x, &control)));
}

namespace {

// robust_scale as a full copy of the increments gives it, for a series
// whose increments have a spread.
double scale_from_copies(const std::vector<double>& x) {
    std::vector<double> steps(x.size() - 1);
    for (std::size_t t = 1; t < x.size(); ++t) steps[t - 1] = x[t] - x[t - 1];
    const double centre = median_in_place(steps);
    for (double& step : steps) step = std::abs(step - centre);
    const double spread = 1.4826 * median_in_place(steps);
    int exponent = 0;
    const double mantissa = std::frexp(spread, &exponent);
    return std::ldexp(1.0, mantissa < std::sqrt(0.5) ? exponent - 1 : exponent);
}

}  // namespace

TEST(standard_values_are_the_same_on_one_two_or_three_threads) {
    // Spikes on and beside the edges of the pieces the passes are cut in,
    // and at both ends of the series.
    const std::size_t n = 300'001;
    std::vector<double> x = sample::noise(31, static_cast<int>(n));
    for (const std::size_t t : {std::size_t{0}, std::size_t{1}, n - 2, n - 1}) x[t] += 50.0;
    for (std::size_t edge = 65536; edge < n; edge += 65536) {
        for (std::size_t t = edge - 3; t <= edge + 2; t += 1) x[t] += t % 2 ? -30.0 : 30.0;
    }
    std::vector<double> copy(x);
    const double centre = median_in_place(copy);
    const double unit = robust_scale(x);
    std::vector<double> raw(n);
    for (std::size_t t = 0; t < n; ++t) raw[t] = (x[t] - centre) / unit;
    const std::vector<double> winsorized = winsorize(raw, 2, 3.0);
    for (const int threads : {1, 2, 3}) {
        tbb::task_arena arena(threads);
        std::optional<quarn::StandardValues> values;
        arena.execute([&] { values.emplace(x); });
        CHECK_BITS(values->standardisation().centre, centre);
        CHECK_BITS(values->unit(), unit);
        bool same = true;
        std::size_t moved = 0;
        for (std::size_t t = 0; t < n; ++t) {
            same = same && check::same_bits(values->value(t), winsorized[t]);
            moved += winsorized[t] != raw[t];
        }
        CHECK(same);
        CHECK(moved > 20);
    }
}

TEST(long_series_standardise_as_full_copies_do) {
    // Past the length from which the medians are found without copies:
    // level steps, three values (ties on every bracket), zeros of both signs
    // at the median, a noisy ramp, and a cycle of the sampling stride whose sampled
    // phase is an outlier (the sample misleads; the copy decides); an odd and
    // an even count.
    const std::size_t long_length = (std::size_t{1} << 21) + 4097;
    std::uint64_t state = 4242;
    const auto next = [&state] {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(state >> 11) * 0x1.0p-53;
    };
    for (const std::size_t n : {long_length, long_length + 1}) {
        const std::size_t stride = n / (std::size_t{1} << 16);
        for (int kind = 0; kind < 5; ++kind) {
            std::vector<double> x(n);
            for (std::size_t t = 0; t < n; ++t) {
                const double u = next();
                x[t] = kind == 0   ? u + static_cast<double>((t / 100'000) % 3)
                       : kind == 1 ? std::floor(u * 3.0)
                       : kind == 2 ? (u < 0.6 ? (u < 0.3 ? -0.0 : 0.0) : u - 0.7)
                       : kind == 3 ? static_cast<double>(t) * 0.25 + u
                                   : (t % stride == 0 ? 1000.0 : u);
            }
            const quarn::StandardValues values(x);
            std::vector<double> copy(x);
            const double centre = median_in_place(copy);
            const double unit = scale_from_copies(x);
            CHECK_BITS(values.standardisation().centre, centre);
            CHECK_BITS(values.unit(), unit);
            std::vector<double> raw(n);
            bool same = true;
            for (std::size_t t = 0; t < n; ++t) {
                raw[t] = (x[t] - centre) / unit;
                same = same && check::same_bits(values.raw(t), raw[t]);
            }
            CHECK(same);
            const std::vector<double> winsorized = winsorize(raw, 2, 3.0);
            std::size_t moved = 0;
            for (std::size_t t = 0; t < n; ++t) {
                same = same && check::same_bits(values.value(t), winsorized[t]);
                moved += winsorized[t] != raw[t];
            }
            CHECK(same);
            if (kind == 4) CHECK(moved > 0);
        }
    }
}
