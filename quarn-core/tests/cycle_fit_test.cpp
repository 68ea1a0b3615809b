// The fitted seasonal cycle: its harmonic tables, the segment means taken
// off between level shifts, a cycle of few periods fitted around them, and
// whether one cycle holds across shifts or the series is in regimes.
#include "quarn/structure.hpp"

#include <oneapi/tbb/task_arena.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "../src/structure_internal.hpp"
#include "quarn/pool.hpp"
#include "check.hpp"
#include "cycle_series.hpp"

using quarn::cycle_holds;
using quarn::cycle_is_regimes;
using quarn::find_cycle;
using quarn::fit_cycle;
using quarn::fit_cycle_between_shifts;

using cycle_series::gaussian;
using cycle_series::with_cycle;

TEST(cycles_fitted_from_shared_tables_have_their_own_bits) {
    // One table of a period serves fits on stretches of any length from
    // place 0; harmonics beyond what the table may hold are computed by the
    // fit itself.
    using quarn::structure_detail::fit_cycle_on;
    using quarn::structure_detail::HarmonicTables;
    const double period = 24.3;
    // A sawtooth: its harmonics are all kept.
    std::vector<double> x = gaussian(600, 4);
    for (std::size_t t = 0; t < x.size(); ++t) {
        x[t] += 3.0 * std::fmod(static_cast<double>(t), period) / period;
    }
    for (const std::size_t most : {std::size_t{1} << 20, std::size_t{3 * 600}, std::size_t{0}}) {
        HarmonicTables tables(period, x.size(), most);
        for (const std::size_t n : {std::size_t{600}, std::size_t{150}, std::size_t{451}}) {
            const std::span<const double> part = std::span(x).first(n);
            const quarn::SeasonalCycle own = fit_cycle(part, period);
            const quarn::SeasonalCycle shared = fit_cycle_on(part, period, &tables);
            CHECK_EQ(shared.values.size(), n);
            bool same = true;
            for (std::size_t t = 0; t < n; ++t) same = same && check::same_bits(own.values[t], shared.values[t]);
            CHECK(same);
        }
    }
}

TEST(segment_means_are_taken_off_between_the_cuts) {
    using quarn::structure_detail::subtract_segment_means;
    const std::vector<double> r = {1.0, 3.0, 10.0, 20.0, 30.0, -4.0};
    const std::vector<double> x = {0.5, 0.5, 0.5, 0.5, 0.5, 0.5};
    struct Case {
        std::vector<std::size_t> cuts;
        std::vector<double> expected;
    };
    const Case cases[] = {
        {{}, {-9.5, -9.5, -9.5, -9.5, -9.5, -9.5}},  // one stretch, mean 10
        {{2, 5}, {-1.5, -1.5, -19.5, -19.5, -19.5, 4.5}},
        {{1, 2, 3, 4, 5}, {-0.5, -2.5, -9.5, -19.5, -29.5, 4.5}},
    };
    for (const Case& c : cases) {
        std::vector<double> out(x.size(), 99.0), in_place = x;
        subtract_segment_means(r, c.cuts, x, out);
        subtract_segment_means(r, c.cuts, in_place, in_place);
        CHECK(out == c.expected);
        CHECK(in_place == c.expected);
    }
}

TEST(a_cycle_of_few_periods_is_fitted_around_its_level_shifts) {
    // A shift projects on a cycle of few periods; fitted between the shifts
    // the cycle comes out as it is, and so the shift stays whole.
    for (std::uint32_t seed = 1; seed <= 4; ++seed) {
        const std::size_t n = 3000;
        const double period = 500.0;
        std::vector<double> x = with_cycle(gaussian(n, seed), period, 3.0);
        for (std::size_t t = 1650; t < n; ++t) x[t] += 3.0;
        const quarn::SeasonalCycle plain = fit_cycle(x, period);
        const quarn::SeasonalCycle between = fit_cycle_between_shifts(x, period);
        double plain_error = 0.0, between_error = 0.0;
        for (std::size_t t = 0; t < n; ++t) {
            const double phase = 2.0 * std::numbers::pi * static_cast<double>(t) / period;
            const double truth = 3.0 * std::sin(phase);
            plain_error = std::max(plain_error, std::abs(plain.values[t] - truth));
            between_error = std::max(between_error, std::abs(between.values[t] - truth));
        }
        CHECK(plain_error > 0.3);
        CHECK(between_error < 0.2);
    }
    // A period a little off (as from a harmonic's, multiplied up) is
    // measured again, and a cycle of two harmonics fitted whole.
    for (std::uint32_t seed = 1; seed <= 4; ++seed) {
        const std::size_t n = 1580;
        const double period = 321.4;
        std::vector<double> x = gaussian(n, seed + 20);
        for (std::size_t t = 0; t < n; ++t) {
            const double phase = 2.0 * std::numbers::pi * static_cast<double>(t) / period;
            x[t] += 2.0 * std::sin(phase) + std::cos(2.0 * phase);
        }
        const quarn::SeasonalCycle cycle = fit_cycle_between_shifts(x, 324.3);
        CHECK(std::abs(cycle.period - period) < 1.5);
        // The fitted values have mean 0, and so does the truth, centred.
        std::vector<double> truth(n);
        double mean = 0.0;
        for (std::size_t t = 0; t < n; ++t) {
            const double phase = 2.0 * std::numbers::pi * static_cast<double>(t) / period;
            truth[t] = 2.0 * std::sin(phase) + std::cos(2.0 * phase);
            mean += truth[t] / static_cast<double>(n);
        }
        double error = 0.0;
        for (std::size_t t = 0; t < n; ++t) {
            error = std::max(error, std::abs(cycle.values[t] - (truth[t] - mean)));
        }
        CHECK(error < 0.35);
    }
    // Many cycles: the plain fit.
    const std::vector<double> many = with_cycle(gaussian(3000, 9), 50.0, 2.0);
    CHECK(fit_cycle_between_shifts(many, 50.0).values == fit_cycle(many, 50.0).values);
}

TEST(the_fitted_cycle_takes_the_cycle_out) {
    const std::vector<double> noise = gaussian(2000, 5);
    const std::vector<double> x = with_cycle(noise, 36.5, 2.0);
    const auto cycle = find_cycle(x);
    CHECK(cycle.has_value());
    if (!cycle) return;
    CHECK_EQ(cycle->values.size(), x.size());
    double mean = 0.0, left = 0.0;
    for (std::size_t t = 0; t < x.size(); ++t) {
        mean += cycle->values[t];
        const double e = x[t] - cycle->values[t] - noise[t];
        left += e * e;
    }
    CHECK(std::abs(mean / 2000.0) < 1e-9);
    // What is left of the cycle is small next to the unit noise.
    CHECK(left / 2000.0 < 0.01);
}

TEST(a_fit_on_too_few_values_is_zero) {
    const auto cycle = fit_cycle(std::vector<double>{1.0, 2.0, 3.0}, 5.0);
    CHECK_EQ(cycle.values.size(), std::size_t{3});
    for (const double v : cycle.values) CHECK_EQ(v, 0.0);
}

TEST(one_cycle_holds_across_level_shifts_but_not_across_a_change_of_it) {
    for (std::uint32_t seed = 1; seed <= 5; ++seed) {
        const std::size_t n = 1500 + 300 * seed;
        const std::size_t change = n * (3 + seed) / 10;  // 0.4 n .. 0.8 n
        const std::vector<double> noise = gaussian(n, seed);
        std::vector<double> shifted = with_cycle(noise, 24.0, 1.5);
        std::vector<double> amplitude = shifted, period = shifted;
        for (std::size_t t = 0; t < n; ++t) {
            const double phase = 2.0 * std::numbers::pi * static_cast<double>(t);
            if (t >= change) {
                shifted[t] += 3.0;
                amplitude[t] += 2.0 * std::sin(phase / 24.0);
                period[t] = noise[t] + 1.5 * std::sin(phase / 40.0);
            }
            if (t >= n / 5 && t < n / 3) shifted[t] -= 2.0;
        }
        CHECK(cycle_holds(shifted, fit_cycle(shifted, 24.0)));
        CHECK(!cycle_holds(amplitude, fit_cycle(amplitude, 24.0)));
        CHECK(!cycle_holds(period, fit_cycle(period, 24.0)));
    }
}

TEST(alternating_long_plateaus_are_regimes_and_smooth_or_short_cycles_are_not) {
    for (std::uint32_t seed = 1; seed <= 3; ++seed) {
        const std::size_t n = 20000;
        const std::vector<double> noise = gaussian(n, seed);
        std::vector<double> square = noise, three_levels = noise;
        for (std::size_t t = 0; t < n; ++t) {
            // Plateaus of 500 values, 1.5 sd apart; a period of 1000 (or,
            // with a third level, 1500).
            if ((t / 500) % 2 == 1) square[t] += 1.5;
            three_levels[t] += 1.5 * static_cast<double>((t / 500) % 3);
        }
        CHECK(cycle_is_regimes(square, 1000.0, 250.0));
        // Plateaus shorter than the shortest regime asked for.
        CHECK(!cycle_is_regimes(square, 1000.0, 600.0));
        // Three plateaus per period are not two.
        CHECK(!cycle_is_regimes(three_levels, 1500.0, 250.0));
        // A sine (and a sawtooth) are cycles, however long their period.
        const std::vector<double> sine = with_cycle(noise, 1000.0, 2.0);
        CHECK(!cycle_is_regimes(sine, 1000.0, 250.0));
        std::vector<double> sawtooth = noise;
        for (std::size_t t = 0; t < n; ++t) {
            sawtooth[t] += 3.0 * static_cast<double>(t % 1000) / 1000.0;
        }
        CHECK(!cycle_is_regimes(sawtooth, 1000.0, 250.0));
    }
    // Too few cycles, a period below the smallest, or a series too short.
    const std::vector<double> few = with_cycle(gaussian(2000, 7), 1000.0, 2.0);
    CHECK(!cycle_is_regimes(few, 1000.0, 10.0));
    CHECK(!cycle_is_regimes(few, 1.0, 0.0));
    CHECK(!cycle_is_regimes(std::vector<double>(8, 1.0), 2.0, 1.0));
    // A constant series folds flat: no regimes.
    CHECK(!cycle_is_regimes(std::vector<double>(4000, 2.0), 100.0, 10.0));
}

TEST(a_series_too_short_to_cut_holds_its_cycle) {
    const std::vector<double> x = with_cycle(gaussian(100, 4), 30.0, 2.0);
    CHECK(cycle_holds(x, fit_cycle(x, 30.0)));
    const std::vector<double> few(5, 1.0);
    CHECK(cycle_holds(few, fit_cycle(few, 3.0)));
}
