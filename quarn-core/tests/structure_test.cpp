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
#include "sample_series.hpp"

using quarn::cycle_holds;
using quarn::cycle_is_regimes;
using quarn::find_cycle;
using quarn::fit_cycle;
using quarn::fit_cycle_between_shifts;
using quarn::fourier_transform;
using quarn::fundamental_period;
using quarn::seasonal_period;

namespace {

// The tests' own generator, the same on every standard library.
std::vector<double> gaussian(std::size_t n, std::uint32_t seed) {
    return sample::noise(seed, static_cast<int>(n));
}

std::vector<double> with_cycle(std::vector<double> x, double period, double amplitude) {
    for (std::size_t t = 0; t < x.size(); ++t) {
        x[t] += amplitude * std::sin(2.0 * std::numbers::pi * static_cast<double>(t) / period);
    }
    return x;
}

}  // namespace

TEST(the_transform_matches_the_direct_sum) {
    const std::vector<double> x = gaussian(64, 3);
    std::vector<std::complex<double>> data(x.begin(), x.end());
    fourier_transform(data);
    for (std::size_t j = 0; j < x.size(); ++j) {
        std::complex<double> direct;
        for (std::size_t t = 0; t < x.size(); ++t) {
            const double angle = -2.0 * std::numbers::pi * static_cast<double>(j * t) / 64.0;
            direct += x[t] * std::complex<double>(std::cos(angle), std::sin(angle));
        }
        CHECK(std::abs(direct - data[j]) < 1e-9);
    }
}

TEST(shared_twiddles_give_the_same_bits_at_every_length) {
    // A table of a longer transform serves the shorter ones, and the same
    // table serves many transforms: each gives the bits of its own.
    const std::vector<std::complex<double>> table = quarn::fourier_twiddles(1024);
    CHECK_EQ(table.size(), std::size_t{512});
    for (const std::size_t n : {std::size_t{1}, std::size_t{2}, std::size_t{8}, std::size_t{256},
                                std::size_t{1024}}) {
        const std::vector<double> x = gaussian(n, static_cast<std::uint32_t>(n));
        std::vector<std::complex<double>> own(x.size()), shared(x.size());
        for (std::size_t t = 0; t < n; ++t) {
            own[t] = {x[t], t % 3 == 0 ? -x[t] : 0.0};
            shared[t] = own[t];
        }
        fourier_transform(own);
        fourier_transform(shared, table);
        for (std::size_t j = 0; j < n; ++j) {
            CHECK(check::same_bits(own[j].real(), shared[j].real()));
            CHECK(check::same_bits(own[j].imag(), shared[j].imag()));
        }
    }
}

namespace {

// The radix-2 transform written plainly: the incremental bit reversal, then
// every stage's butterflies block by block, each output below `count`.
void plain_transform(std::vector<std::complex<double>>& data,
                     const std::vector<std::complex<double>>& twiddles, std::size_t count) {
    const std::size_t n = data.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(data[i], data[j]);
    }
    const std::size_t table = 2 * twiddles.size();
    for (std::size_t length = 2; length <= n; length <<= 1) {
        const std::size_t half = length / 2;
        for (std::size_t start = 0; start < n; start += length) {
            for (std::size_t k = 0; k < std::min(half, count); ++k) {
                const std::complex<double> w = twiddles[k * (table / length)];
                const std::complex<double> u = data[start + k], b = data[start + k + half];
                const double vr = b.real() * w.real() - b.imag() * w.imag();
                const double vi = b.real() * w.imag() + b.imag() * w.real();
                data[start + k] = {u.real() + vr, u.imag() + vi};
                data[start + k + half] = {u.real() - vr, u.imag() - vi};
            }
        }
    }
}

}  // namespace

TEST(the_transform_has_the_plain_transforms_bits) {
    const std::vector<std::complex<double>> table = quarn::fourier_twiddles(16384);
    for (std::size_t n = 2; n <= 16384; n *= 2) {
        const std::vector<double> x = gaussian(2 * n, static_cast<std::uint32_t>(n + 5));
        for (const std::size_t count : {std::size_t{1}, std::size_t{2}, std::size_t{3}, n / 4 + 1,
                                        n / 2 - 1, n / 2 + 1, n}) {
            std::vector<std::complex<double>> plain(n), fast(n);
            for (std::size_t t = 0; t < n; ++t) plain[t] = fast[t] = {x[t], x[n + t]};
            plain_transform(plain, table, count);
            quarn::fourier_transform_lowest(fast, table, count);
            bool same = true;
            for (std::size_t j = 0; j < std::min(count, n); ++j) {
                same = same && check::same_bits(plain[j].real(), fast[j].real()) &&
                       check::same_bits(plain[j].imag(), fast[j].imag());
            }
            CHECK(same);
        }
    }
}

TEST(long_transforms_have_the_plain_transforms_bits_on_any_pool) {
    // Long transforms run their stages in pieces on the pool's threads.
    const std::vector<std::complex<double>> table = quarn::fourier_twiddles(std::size_t{1} << 16);
    for (const std::size_t n : {std::size_t{1} << 13, std::size_t{1} << 14, std::size_t{1} << 16}) {
        const std::vector<double> x = gaussian(2 * n, static_cast<std::uint32_t>(n + 9));
        for (const std::size_t count : {std::size_t{1}, std::size_t{700}, n / 2 + 3, n}) {
            std::vector<std::complex<double>> plain(n);
            for (std::size_t t = 0; t < n; ++t) plain[t] = {x[t], x[n + t]};
            plain_transform(plain, table, count);
            const auto same_as_plain = [&](const std::vector<std::complex<double>>& fast) {
                bool same = true;
                for (std::size_t j = 0; j < count; ++j) {
                    same = same && check::same_bits(plain[j].real(), fast[j].real()) &&
                           check::same_bits(plain[j].imag(), fast[j].imag());
                }
                return same;
            };
            for (const int threads : {1, 2, 3, 8}) {
                std::vector<std::complex<double>> fast(n);
                for (std::size_t t = 0; t < n; ++t) fast[t] = {x[t], x[n + t]};
                tbb::task_arena arena(threads);
                arena.execute([&] { quarn::fourier_transform_lowest(fast, table, count); });
                CHECK(same_as_plain(fast));
            }
            std::vector<std::complex<double>> here(n);
            for (std::size_t t = 0; t < n; ++t) here[t] = {x[t], x[n + t]};
            {
                const quarn::SerialHere serial;
                quarn::fourier_transform_lowest(here, table, count);
            }
            CHECK(same_as_plain(here));
        }
    }
}

TEST(twiddles_copied_from_the_kept_table_have_their_own_bits) {
    // Whichever longer table was asked for before, each table holds its own
    // cosines and sines; lengths past the kept table's are computed.
    const auto own = [](std::size_t n, std::size_t k) {
        const double angle = -2.0 * std::numbers::pi * static_cast<double>(k) / static_cast<double>(n);
        return std::complex<double>(std::cos(angle), std::sin(angle));
    };
    std::vector<std::size_t> lengths;
    for (std::size_t n = 1; n <= (std::size_t{1} << 17); n *= 2) lengths.push_back(n);
    for (int pass = 0; pass < 2; ++pass) {
        for (const std::size_t n : lengths) {
            const std::vector<std::complex<double>> table = quarn::fourier_twiddles(n);
            CHECK_EQ(table.size(), n / 2);
            bool same = true;
            for (std::size_t k = 0; k < table.size(); ++k) {
                same = same && check::same_bits(table[k].real(), own(n, k).real()) &&
                       check::same_bits(table[k].imag(), own(n, k).imag());
            }
            CHECK(same);
        }
        std::reverse(lengths.begin(), lengths.end());
    }
}

TEST(the_lowest_outputs_alone_have_the_full_transforms_bits) {
    const std::vector<std::complex<double>> table = quarn::fourier_twiddles(512);
    const std::vector<double> x = gaussian(512, 8);
    for (const std::size_t n : {std::size_t{64}, std::size_t{512}}) {
        std::vector<std::complex<double>> whole(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(n));
        fourier_transform(whole, table);
        for (const std::size_t count : {std::size_t{1}, std::size_t{3}, std::size_t{17}, n / 2,
                                        n / 2 + 1, n}) {
            std::vector<std::complex<double>> lowest(x.begin(),
                                                     x.begin() + static_cast<std::ptrdiff_t>(n));
            quarn::fourier_transform_lowest(lowest, table, count);
            for (std::size_t j = 0; j < count; ++j) {
                CHECK(check::same_bits(lowest[j].real(), whole[j].real()));
                CHECK(check::same_bits(lowest[j].imag(), whole[j].imag()));
            }
        }
    }
}

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
    // Cycles of five periods go to the few-cycle search, whose tapers of
    // the last lengths are kept; these lengths hold more than are kept, so
    // threads searching them in different orders drop each other's.
    std::vector<std::vector<double>> series;
    for (const std::size_t n : {std::size_t{1200}, std::size_t{40000}, std::size_t{3001},
                                std::size_t{52000}, std::size_t{1200}, std::size_t{61000}}) {
        const double period = static_cast<double>(n) / 5.3;
        series.push_back(with_cycle(gaussian(n, static_cast<std::uint32_t>(n % 97)), period, 2.0));
    }
    std::vector<std::optional<double>> alone;
    for (const auto& x : series) alone.push_back(seasonal_period(x));
    CHECK(alone[0].has_value() && alone[3].has_value());
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

TEST(short_and_constant_series_show_no_period) {
    CHECK(!seasonal_period(std::vector<double>(10, 1.0)).has_value());
    CHECK(!seasonal_period(std::vector<double>(1000, 2.0)).has_value());
    CHECK(!seasonal_period(std::vector<double>{}).has_value());
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
