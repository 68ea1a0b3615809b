// A seasonal cycle beside level shifts large against its amplitude: the
// series less its shifts around a cycle, the period search (a crest of the
// shift's ripple, or of the peak's own leakage, is no fundamental) and the
// fundamental's check (a longer cycle that takes up part of a shift is no
// fundamental either).
#include "quarn/structure.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <optional>
#include <vector>

#include "../src/structure_internal.hpp"
#include "check.hpp"
#include "cycle_series.hpp"

using quarn::fundamental_period;
using quarn::seasonal_period;
using quarn::structure_detail::less_shifts_around;
using quarn::structure_detail::shifts_explain_cycle;

using cycle_series::gaussian;
using cycle_series::with_cycle;

namespace {

// x with `size` added from place `at` on.
std::vector<double> with_step(std::vector<double> x, std::size_t at, double size) {
    for (std::size_t t = at; t < x.size(); ++t) x[t] += size;
    return x;
}

}  // namespace

TEST(the_shifts_around_a_cycle_are_taken_out_and_nothing_else) {
    for (const std::uint32_t seed : {1u, 2u, 3u}) {
        const std::vector<double> clean = with_cycle(gaussian(1000, seed), 50.0, 2.0);
        // No shift: nothing to take out.
        CHECK(less_shifts_around(clean, 50.0, 16).empty());
        // Two shifts of 4 and 6 noise sd times the cycle's amplitude: the
        // values less them are the clean series, each stretch moved by its
        // own constant, which is (nearly) the same for the three stretches.
        const std::vector<double> x = with_step(with_step(clean, 300, 8.0), 700, -12.0);
        const std::vector<double> levelled = less_shifts_around(x, 50.0, 16);
        CHECK_EQ(levelled.size(), x.size());
        if (levelled.size() != x.size()) continue;
        const double offset = levelled[0] - clean[0];
        double worst = 0.0;
        for (std::size_t t = 0; t < x.size(); ++t) {
            worst = std::max(worst, std::abs(levelled[t] - clean[t] - offset));
        }
        CHECK(worst < 0.3);
    }
}

TEST(a_cycle_beside_a_large_shift_is_found_at_its_period) {
    // Once, a crest of the shift's ripple near half or a fifth of the
    // cycle's frequency was taken for its fundamental (110, 111, 55.6).
    struct Case {
        std::size_t n;
        double period, step;
    };
    for (const Case c : {Case{1000, 50.0, 10.0}, Case{1000, 50.0, 16.0}, Case{1000, 24.0, 16.0},
                         Case{500, 12.0, 10.0}, Case{500, 12.0, 16.0}, Case{2000, 50.0, 10.0}}) {
        for (const std::uint32_t seed : {1u, 2u, 3u, 4u}) {
            // Noise of sd 1 under a cycle of amplitude 3.3 and a step of 3
            // or 5 times that.
            const std::vector<double> x =
                with_step(with_cycle(gaussian(c.n, seed), c.period, 10.0 / 3.0), c.n / 2, c.step);
            const std::optional<double> found = seasonal_period(x);
            CHECK(found.has_value());
            if (found) CHECK(std::abs(*found - c.period) < 0.02 * c.period);
        }
    }
}

TEST(a_true_fundamental_is_still_taken_beside_a_large_shift) {
    // A cycle of 120 values whose second harmonic is the stronger: the
    // periodogram peaks at 60, and the fundamental is found all the same,
    // with a shift far larger than the cycle or without one.
    for (const double step : {0.0, 12.0}) {
        for (const std::uint32_t seed : {1u, 2u, 3u}) {
            std::vector<double> x = gaussian(2400, seed);
            for (std::size_t t = 0; t < x.size(); ++t) {
                const double phase = 2.0 * std::numbers::pi * static_cast<double>(t) / 120.0;
                x[t] += 1.2 * std::sin(phase) + 2.0 * std::sin(2.0 * phase + 1.0);
            }
            x = with_step(std::move(x), 1100, step);
            const std::optional<double> found = seasonal_period(x);
            CHECK(found.has_value());
            if (found) CHECK(std::abs(*found - 120.0) < 0.02 * 120.0);
        }
    }
}

TEST(a_longer_cycle_that_takes_up_a_large_shift_is_no_fundamental) {
    // A cycle of 110 values and a step of three times its amplitude: the
    // cycle of 220 or 330 takes up part of the step with its slow
    // harmonics, and that part is no fundamental.
    for (const double period : {50.0, 110.0}) {
        for (const double step : {10.0, 16.0}) {
            for (const std::uint32_t seed : {1u, 2u, 3u, 4u}) {
                const std::vector<double> x =
                    with_step(with_cycle(gaussian(1000, seed), period, 10.0 / 3.0), 500, step);
                CHECK_EQ(fundamental_period(x, period), period);
            }
        }
    }
}

namespace {

// shifts_explain_cycle of x and its own cycle of `period`.
bool explained(const std::vector<double>& x, double period) {
    return shifts_explain_cycle(x, quarn::fit_cycle(x, period));
}

// Noise of unit sd plus `repeats` rounds of blocks of `width` values at
// each of `levels` (in noise sd) in turn.
std::vector<double> level_blocks(const std::vector<double>& levels, std::size_t width,
                                 std::size_t repeats, std::uint32_t seed) {
    std::vector<double> x = gaussian(levels.size() * width * repeats, seed);
    for (std::size_t t = 0; t < x.size(); ++t) x[t] += levels[(t / width) % levels.size()];
    return x;
}

}  // namespace

TEST(a_few_level_shifts_explain_the_harmonics_of_their_square_wave) {
    // Three rounds of two levels ten sd apart are five shifts: the odd
    // harmonics of their square wave (a third, seventh, ninth of its
    // period) are no cycle, nor is the square wave's own period.
    for (const std::uint32_t seed : {1u, 2u, 3u, 4u}) {
        const std::vector<double> x = level_blocks({10.0, 0.0}, 50, 3, seed);
        for (const double period : {100.0 / 3.0, 100.0 / 7.0, 100.0 / 9.0, 100.0}) {
            CHECK(explained(x, period));
        }
        // Three levels, seven shifts.
        CHECK(explained(level_blocks({0.0, 8.0, 4.0}, 40, 3, seed), 40.0));
    }
}

TEST(a_season_is_not_explained_by_shifts) {
    for (const std::uint32_t seed : {1u, 2u, 3u}) {
        // Twenty rounds of on and off blocks need far more shifts than are
        // looked for.
        CHECK(!explained(level_blocks({10.0, 0.0}, 10, 20, seed), 20.0));
        // A sine of four periods: shifts approximate it, the cycle fits it.
        CHECK(!explained(with_cycle(gaussian(400, seed), 100.0, 6.0), 100.0));
        // A cycle beside a shift far larger than it: the shift explains more
        // than the cycle, but the cycle stands out beside it.
        const std::vector<double> x = with_step(with_cycle(gaussian(1000, seed), 50.0, 2.0), 400, 30.0);
        CHECK(!explained(x, 50.0));
        // A sine of four and a half periods beside two shifts of two and
        // three sd: a search of the series alone cuts the sine's halves
        // into shifts, but the cycle with the shifts around it explains far
        // more than those.
        const std::vector<double> sine =
            with_step(with_step(with_cycle(gaussian(900, seed), 200.0, 1.2), 456, -2.0), 589, 3.3);
        CHECK(!explained(sine, 200.0));
        // Nothing to explain: no shift at all.
        CHECK(!explained(gaussian(300, seed), 30.0));
    }
}
