// The seasonal period search: cycles found at their periods, long, weak
// or of few periods, the same on any pool and in threads, none in smooth
// spectra, and the fundamental taken over a harmonic.
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
using quarn::fourier_transform;
using quarn::fundamental_period;
using quarn::seasonal_period;

using cycle_series::gaussian;
using cycle_series::with_cycle;

TEST(a_cycle_is_found_at_its_period_whole_or_not) {
    for (const double period : {7.0, 12.0, 24.5, 101.3}) {
        for (const std::size_t n : {std::size_t{600}, std::size_t{3000}}) {
            if (static_cast<double>(n) < 20.0 * period) continue;  // too few cycles to tell
            const auto found = seasonal_period(with_cycle(gaussian(n, 11), period, 1.5));
            CHECK(found.has_value());
            if (found) CHECK(std::abs(*found - period) < 0.02 * period);
        }
    }
}

TEST(a_weak_cycle_a_few_times_its_threshold_is_found) {
    // A peak of about twice its threshold over noise: found at its period.
    for (const double period : {9.0, 30.0}) {
        for (const std::uint32_t seed : {3u, 4u, 5u}) {
            const auto found = seasonal_period(with_cycle(gaussian(3000, seed), period, 0.2));
            CHECK(found.has_value());
            if (found) CHECK(std::abs(*found - period) < 0.02 * period);
        }
    }
}

TEST(a_long_period_of_about_ten_cycles_is_found) {
    for (std::uint32_t seed = 1; seed <= 5; ++seed) {
        const auto found = seasonal_period(with_cycle(gaussian(2600, seed), 250.0, 1.5));
        CHECK(found.has_value());
        if (found) CHECK(std::abs(*found - 250.0) < 5.0);
    }
}

TEST(the_period_is_the_same_on_any_pool) {
    // From 4,096 values the few-cycle search starts beside the periodogram's
    // own search, and is called off or dropped when a peak stands out there:
    // a cycle of many periods, one of a few periods, plain noise, and a
    // series longer than one transform.
    const std::vector<std::vector<double>> series{
        with_cycle(gaussian(6000, 3), 24.5, 1.5), with_cycle(gaussian(6000, 4), 1200.0, 2.0),
        gaussian(5000, 5), with_cycle(gaussian(70000, 6), 12.0, 1.0)};
    const std::vector<std::optional<double>> expected{24.5, 1200.0, std::nullopt, 12.0};
    for (std::size_t i = 0; i < series.size(); ++i) {
        std::optional<double> alone;
        {
            const quarn::SerialHere here;
            alone = seasonal_period(series[i]);
        }
        CHECK_EQ(alone.has_value(), expected[i].has_value());
        if (alone && expected[i]) CHECK(std::abs(*alone - *expected[i]) < 0.05 * *expected[i]);
        for (const int threads : {1, 2, 3, 8}) {
            tbb::task_arena arena(threads);
            std::optional<double> pooled;
            arena.execute([&] { pooled = seasonal_period(series[i]); });
            CHECK_EQ(pooled.has_value(), alone.has_value());
            if (pooled && alone) CHECK_BITS(*pooled, *alone);
        }
    }
}

TEST(a_cycle_of_four_to_eight_periods_is_found) {
    // Too few cycles for the narrow window around the peak alone to give
    // its level.
    for (std::uint32_t seed = 1; seed <= 5; ++seed) {
        for (const auto& [n, period] : {std::pair{std::size_t{2100}, 300.0},
                                        std::pair{std::size_t{1200}, 250.0}}) {
            const auto found = seasonal_period(with_cycle(gaussian(n, seed), period, 2.0));
            CHECK(found.has_value());
            if (found) CHECK(std::abs(*found - period) < 0.05 * period);
        }
        // Where the peak's own level rests on too few frequencies, a side
        // lobe of it is no period either.
        const auto lobe = seasonal_period(with_cycle(gaussian(3000, seed), 500.0, 2.0));
        if (lobe) CHECK(std::abs(*lobe - 500.0) < 25.0);
    }
}

TEST(searches_in_threads_sharing_the_kept_tables_give_the_bits_of_one_alone) {
    // Cycles of five periods go to the few-cycle search, whose tapers and
    // cubic bases of the last lengths are kept; these lengths hold more
    // than are kept, so threads searching them in different orders drop
    // each other's. The series of 1200 values comes twice, other lengths
    // searched between: the same bits both times.
    std::vector<std::vector<double>> series;
    for (const std::size_t n : {std::size_t{1200}, std::size_t{40000}, std::size_t{3001},
                                std::size_t{52000}, std::size_t{1200}, std::size_t{61000}}) {
        const double period = static_cast<double>(n) / 5.3;
        series.push_back(with_cycle(gaussian(n, static_cast<std::uint32_t>(n % 97)), period, 2.0));
    }
    std::vector<std::optional<double>> alone;
    for (const auto& x : series) alone.push_back(seasonal_period(x));
    CHECK(alone[0].has_value() && alone[3].has_value());
    CHECK(alone[4].has_value() && check::same_bits(*alone[4], *alone[0]));
    constexpr int threads = 4;
    std::vector<std::vector<std::optional<double>>> found(threads,
                                                          std::vector<std::optional<double>>(series.size()));
    std::vector<std::thread> running;
    for (int i = 0; i < threads; ++i) {
        running.emplace_back([&, i] {
            for (std::size_t k = 0; k < series.size(); ++k) {
                const std::size_t m = series.size(), shift = static_cast<std::size_t>(i);
                const std::size_t j = i % 2 == 0 ? (k + shift) % m : (m - 1 - k + shift) % m;
                found[i][j] = seasonal_period(series[j]);
            }
        });
    }
    for (auto& thread : running) thread.join();
    bool same = true;
    for (const auto& one : found) {
        for (std::size_t j = 0; j < series.size(); ++j) {
            same = same && one[j].has_value() == alone[j].has_value() &&
                   (!alone[j] || check::same_bits(*one[j], *alone[j]));
        }
    }
    CHECK(same);
}

TEST(a_cycle_of_only_four_to_seven_periods_is_found_over_noise_a_shift_or_a_trend) {
    // Too few periods for the local level of the plain periodogram; the
    // cycle still stands far above any smooth spectrum.
    for (std::uint32_t seed = 1; seed <= 8; ++seed) {
        const std::size_t n = 1500 + 400 * seed;
        const double cycles = 4.0 + 0.4 * seed;
        const double period = static_cast<double>(n) / cycles;
        std::vector<double> x = with_cycle(gaussian(n, seed), period, 2.5);
        const auto found = seasonal_period(x);
        CHECK(found.has_value());
        if (found) CHECK(std::abs(*found - period) < 0.05 * period);
        // A level shift of 2 sd or a trend on top.
        std::vector<double> shifted = x, trend = x;
        for (std::size_t t = 0; t < n; ++t) {
            shifted[t] += t >= n * 2 / 5 ? 2.0 : 0.0;
            trend[t] += 4.0 * static_cast<double>(t) / static_cast<double>(n);
        }
        for (const auto* series : {&shifted, &trend}) {
            const auto again = seasonal_period(*series);
            CHECK(again.has_value());
            if (again) CHECK(std::abs(*again - period) < 0.05 * period);
        }
    }
}

TEST(slow_smooth_swings_are_no_cycle_of_few_periods) {
    for (std::uint32_t seed = 1; seed <= 10; ++seed) {
        const std::size_t n = 800 + 700 * seed;
        const std::vector<double> noise = gaussian(n, seed + 40);
        std::vector<double> grow = noise, bend = noise, ar = noise;
        for (std::size_t t = 1; t < n; ++t) {
            const double u = static_cast<double>(t) / static_cast<double>(n);
            grow[t] += std::exp(4.0 * u);
            bend[t] += 40.0 * u * u;
            ar[t] = 0.99 * ar[t - 1] + noise[t];
        }
        CHECK(!seasonal_period(grow).has_value());
        CHECK(!seasonal_period(bend).has_value());
        CHECK(!seasonal_period(ar).has_value());
    }
}

TEST(smooth_spectra_show_no_period) {
    for (std::uint32_t seed = 1; seed <= 20; ++seed) {
        const std::size_t n = 300 + 250 * seed;
        std::vector<double> noise = gaussian(n, seed);
        CHECK(!seasonal_period(noise).has_value());
        // Level shifts at irregular places, a strongly persistent AR(1)
        // series and a random walk.
        std::vector<double> steps = noise, ar = noise, walk = noise;
        for (std::size_t t = 0; t < n; ++t) {
            const double at = static_cast<double>(t) / static_cast<double>(n);
            steps[t] += at < 0.13 ? 0.0 : at < 0.41 ? 3.0 : at < 0.52 ? -1.0 : at < 0.86 ? 2.0 : 5.0;
            if (t > 0) {
                ar[t] = 0.97 * ar[t - 1] + noise[t];
                walk[t] = walk[t - 1] + noise[t];
            }
        }
        CHECK(!seasonal_period(steps).has_value());
        CHECK(!seasonal_period(ar).has_value());
        CHECK(!seasonal_period(walk).has_value());
    }
}

TEST(noise_free_steps_show_no_period_and_noise_free_cycles_do) {
    // The periodogram of steps without noise ripples with deep nulls under
    // a falling envelope; no crest of it is a cycle. Levels repeated (steps
    // that alternate) included, and a long series searched by stretches.
    struct Steps {
        std::vector<double> levels;
        std::size_t length;
    };
    const Steps cases[] = {
        {{0, 3, 1, 4}, 80},    {{0, 1, 0}, 100},      {{0, 1, 0, 1}, 100},
        {{0, 2, 0, 2, 0}, 60}, {{1, 4, 2, 4, 1}, 45}, {{0, 1, 2, 3, 4, 5}, 70},
        {{0, 1}, 50},          {{0, 5, 0, 5}, 1000},  {{0, 1, 0}, 30000},
    };
    for (const Steps& c : cases) {
        std::vector<double> x;
        for (const double level : c.levels) x.insert(x.end(), c.length, level);
        CHECK(!seasonal_period(x).has_value());
    }
    // A sinusoid without noise, alone, with a step, and on a trend.
    for (const double period : {7.0, 24.0, 24.5, 61.3}) {
        const std::vector<double> sine = with_cycle(std::vector<double>(900, 0.0), period, 1.0);
        std::vector<double> step = sine, trend = sine;
        for (std::size_t t = 0; t < sine.size(); ++t) {
            step[t] += t < 450 ? 0.0 : 3.0;
            trend[t] += 0.01 * static_cast<double>(t);
        }
        const std::vector<double>* const series[] = {&sine, &step, &trend};
        for (const std::vector<double>* x : series) {
            const auto found = seasonal_period(*x);
            CHECK(found.has_value());
            if (found) CHECK(std::abs(*found - period) < 0.01 * period);
        }
    }
}

TEST(short_and_constant_series_show_no_period) {
    CHECK(!seasonal_period(std::vector<double>(10, 1.0)).has_value());
    CHECK(!seasonal_period(std::vector<double>(1000, 2.0)).has_value());
    CHECK(!seasonal_period(std::vector<double>{}).has_value());
}

TEST(long_series_are_searched_stretch_by_stretch) {
    const std::vector<double> noise = gaussian(200000, 8);
    CHECK(!seasonal_period(noise).has_value());
    const auto found = seasonal_period(with_cycle(noise, 288.0, 0.5));
    CHECK(found.has_value());
    if (found) CHECK(std::abs(*found - 288.0) < 0.5);
}

TEST(a_stop_request_ends_the_search) {
    quarn::RunControl control;
    control.request_stop();
    const std::vector<double> x = with_cycle(gaussian(200000, 9), 50.0, 2.0);
    CHECK(!seasonal_period(x.size(), [&x](std::size_t t) { return x[t]; }, &control).has_value());
}

TEST(the_fundamental_is_taken_over_its_harmonic) {
    for (std::uint32_t seed = 1; seed <= 5; ++seed) {
        // About seven cycles of 180 values, the fundamental twice the size
        // of its second harmonic, with and without a level shift.
        std::vector<double> x = gaussian(1250, seed);
        for (std::size_t t = 0; t < x.size(); ++t) {
            const double phase = 2.0 * std::numbers::pi * static_cast<double>(t) / 180.0;
            x[t] += 2.0 * std::sin(phase) + std::sin(2.0 * phase + 1.0);
        }
        CHECK_EQ(fundamental_period(x, 90.0), 180.0);
        CHECK_EQ(fundamental_period(x, 180.0), 180.0);
        for (std::size_t t = 700; t < x.size(); ++t) x[t] += 2.5;
        CHECK_EQ(fundamental_period(x, 90.0), 180.0);
    }
}

TEST(a_true_period_is_kept) {
    for (std::uint32_t seed = 1; seed <= 5; ++seed) {
        std::vector<double> x = with_cycle(gaussian(2000, seed), 24.0, 1.5);
        CHECK_EQ(fundamental_period(x, 24.0), 24.0);
        // Level shifts add slow power, not a longer cycle.
        for (std::size_t t = 0; t < x.size(); ++t) {
            x[t] += t < 600 ? 0.0 : t < 1300 ? 3.0 : -1.0;
        }
        CHECK_EQ(fundamental_period(x, 24.0), 24.0);
        // Too few values for three cycles of the longer period.
        CHECK_EQ(fundamental_period(std::span<const double>(x).first(100), 24.0), 24.0);
    }
}

TEST(a_period_a_step_pulls_off_a_whole_number_is_put_back) {
    // The step leaks into the periodogram and moves its peak a little.
    for (const double period : {3.0, 12.0}) {
        std::vector<double> x(120);
        for (std::size_t t = 0; t < x.size(); ++t) {
            x[t] = std::sin(2.0 * std::numbers::pi * static_cast<double>(t) / period) +
                   (t >= 60 ? 1.0 : 0.0);
        }
        const auto found = seasonal_period(x);
        CHECK(found.has_value() && *found == period);
    }
    // A period between whole numbers is kept.
    const auto found = seasonal_period(with_cycle(gaussian(1200, 5), 7.5, 1.5));
    CHECK(found.has_value() && std::abs(*found - 7.5) < 0.02);
}
