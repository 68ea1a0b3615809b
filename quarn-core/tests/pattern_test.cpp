#include "quarn/pattern.hpp"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <optional>
#include <thread>
#include <vector>

#include "check.hpp"
#include "quarn/confirm.hpp"
#include "sample_series.hpp"

using quarn::dominant_period;
using quarn::pattern_changes;
using quarn::PatternArguments;
using quarn::PatternSearch;

namespace {

using Wave = double (*)(double);  // one cycle over phase [0, 1), mean about 0

double sine(double p) { return std::sqrt(2.0) * std::sin(2.0 * std::numbers::pi * p); }
double square(double p) { return p < 0.5 ? 1.0 : -1.0; }
double pulse(double p) {
    const double d = (p - 0.5) / 0.06;
    return 4.0 * std::exp(-0.5 * d * d) - 0.6;
}

// States of (wave, period, length) one after another, the phase running on
// without a jump, plus Gaussian noise of sd `noise`.
struct State {
    Wave wave;
    double period;
    std::size_t length;
};

std::vector<double> recording(const std::vector<State>& states, double noise, std::uint64_t seed) {
    sample::Gaussian g(seed);
    std::vector<double> x;
    double phase = 0.0;
    for (const State& state : states) {
        for (std::size_t t = 0; t < state.length; ++t) {
            x.push_back(state.wave(phase) + noise * g());
            phase = std::fmod(phase + 1.0 / state.period, 1.0);
        }
    }
    return x;
}

PatternSearch search(const std::vector<double>& x, std::uint64_t seed = 123) {
    PatternArguments arguments;
    arguments.seed = seed;
    return pattern_changes(x.size(), [&x](std::size_t t) { return x[t]; }, arguments);
}

bool near(std::uint64_t found, std::uint64_t truth, std::uint64_t margin) {
    return found + margin >= truth && found <= truth + margin;
}

}  // namespace

TEST(the_dominant_period_is_the_cycle_length) {
    for (const double period : {9.0, 24.0, 61.0}) {
        const auto x = recording({{sine, period, 3000}}, 0.3, 5);
        const auto found = dominant_period(x.size(), [&x](std::size_t t) { return x[t]; });
        CHECK(found.has_value() && std::abs(static_cast<double>(*found) - period) <= 1.0);
    }
    const auto noise = sample::noise(3, 3000);
    CHECK(!dominant_period(noise.size(), [&noise](std::size_t t) { return noise[t]; }));
}

TEST(a_repeated_pattern_without_change_gives_none) {
    for (const Wave wave : {sine, square, pulse}) {
        for (const std::uint64_t seed : {1u, 2u, 3u}) {
            const auto x = recording({{wave, 23.5, 4000}}, 0.3, seed);
            CHECK(search(x).changes.empty());
        }
    }
    // Nor does noise, nor too short a series.
    CHECK(search(sample::noise(9, 2000)).changes.empty());
    CHECK(search(sample::noise(9, 20)).changes.empty());
}

TEST(a_change_of_period_or_waveform_is_found_where_it_is) {
    // A square wave of period 20, then 50: the same values in the same
    // shares, only their order differs.
    const std::vector<std::vector<State>> cases = {
        {{square, 20.0, 1500}, {square, 50.0, 1500}},
        {{sine, 30.0, 1200}, {pulse, 30.0, 1800}},
    };
    for (const auto& states : cases) {
        const auto x = recording(states, 0.3, 17);
        const PatternSearch found = search(x);
        CHECK_EQ(found.changes.size(), std::size_t{1});
        if (!found.changes.empty()) {
            CHECK(near(found.changes[0].position, states[0].length, 30));
            CHECK(found.changes[0].p_value <= 0.025);
        }
    }
}

TEST(the_method_names_a_change_of_period_a_pattern_change) {
    const auto x = recording({{square, 20.0, 1500}, {square, 50.0, 1500}}, 0.3, 17);
    quarn::MethodArguments arguments;
    arguments.series = x;
    const auto output = quarn::detect_changes(arguments);
    CHECK(output.has_value());
    if (!output) return;
    CHECK_EQ(output->changes.size(), std::size_t{1});
    if (output->changes.empty()) return;
    CHECK(output->changes[0].kind == quarn::ChangeKind::pattern);
    CHECK(near(output->changes[0].position, 1500, 30));
}

TEST(the_search_is_a_function_of_values_and_seed) {
    const auto x = recording({{sine, 15.0, 900}, {sine, 40.0, 900}, {pulse, 40.0, 900}}, 0.4, 23);
    const PatternSearch first = search(x), again = search(x);
    CHECK_EQ(first.changes.size(), again.changes.size());
    for (std::size_t i = 0; i < first.changes.size() && i < again.changes.size(); ++i) {
        CHECK_EQ(first.changes[i].position, again.changes[i].position);
        CHECK(check::same_bits(first.changes[i].p_value, again.changes[i].p_value));
    }
    CHECK_EQ(first.changes.size(), std::size_t{2});
}

TEST(with_the_blocks_means_a_shift_between_cycles_is_a_level_change) {
    auto x = recording({{sine, 25.0, 3000}}, 0.3, 31);
    for (std::size_t t = 1500; t < x.size(); ++t) x[t] += 1.5;
    PatternArguments arguments;
    arguments.with_level = true;
    const PatternSearch found =
        pattern_changes(x.size(), [&x](std::size_t t) { return x[t]; }, arguments);
    CHECK(found.with_level);
    CHECK_EQ(found.changes.size(), std::size_t{1});
    if (!found.changes.empty()) {
        CHECK(found.changes[0].kind == quarn::ChangeKind::level);
        CHECK(near(found.changes[0].position, 1500, 25));
    }
    // Blocks shorter than the period (a period of more than an eighth of
    // the series) never take their means as a feature.
    const auto short_one = recording({{sine, 40.0, 240}}, 0.3, 31);
    const PatternSearch none = pattern_changes(
        short_one.size(), [&short_one](std::size_t t) { return short_one[t]; }, arguments);
    CHECK(!none.with_level);
}

// A recording whose cycle length drifts linearly by `drift` over n values and
// steps by the factor `step` half way; every cycle's length (5 %), phase and
// size (10 %) jitter, plus noise of sd 0.3.
std::vector<double> drifting(Wave wave, double period, double drift, double step, std::size_t n,
                             std::uint64_t seed) {
    sample::Gaussian g(seed);
    const auto uniform = [&g](double lo, double hi) { return lo + (hi - lo) * g.uniform(); };
    std::vector<double> x(n);
    double phase = 0.0, length = uniform(0.95, 1.05), size = uniform(0.9, 1.1);
    for (std::size_t t = 0; t < n; ++t) {
        x[t] = size * wave(phase);
        const double target = period * (1.0 - drift / 2.0 + drift * static_cast<double>(t) /
                                                                  static_cast<double>(n)) *
                              (t >= n / 2 ? step : 1.0);
        phase += 1.0 / (length * target);
        if (phase >= 1.0) {
            phase += 0.02 * g() - 1.0;
            length = uniform(0.95, 1.05);
            size = uniform(0.9, 1.1);
        }
    }
    for (double& v : x) v += 0.3 * g();
    return x;
}

TEST(a_step_of_period_on_a_drifting_cycle_is_still_a_change) {
    // The cycle's length drifts by 10 % over the series and steps by 20 %.
    for (const Wave wave : {sine, square, pulse}) {
        for (const std::uint64_t seed : {4u, 5u}) {
            const auto x = drifting(wave, 30.0, 0.1, 1.2, 3000, seed);
            bool found = false;
            for (const auto& change : search(x).changes) {
                found = found || (near(change.position, 1500, 60) &&
                                  change.kind == quarn::ChangeKind::pattern);
            }
            CHECK(found);
        }
    }
}

namespace {

// Everything the method reports of its changes, p-values as bits.
struct Found {
    std::vector<std::uint64_t> positions, votes;
    std::vector<quarn::ChangeKind> kinds;
    std::vector<double> p_values;
    std::optional<double> period;
    bool operator==(const Found&) const = default;
};

Found found_in(const quarn::MethodOutput& output) {
    Found found;
    for (const auto& change : output.changes) {
        found.positions.push_back(change.position);
        found.votes.push_back(change.votes);
        found.kinds.push_back(change.kind);
        found.p_values.push_back(change.p_value);
    }
    found.period = output.seasonal_period;
    return found;
}

}  // namespace

TEST(the_method_with_its_searches_beside_gives_the_same_bits_on_any_pool) {
    // Changes of pattern, which the pattern search adds beside the tests'
    // level shift, and a stretch of plain noise after a short one.
    std::vector<double> x = recording(
        {{sine, 20.0, 1500}, {square, 20.0, 1200}, {pulse, 35.0, 1300}}, 0.4, 31);
    for (std::size_t t = 2000; t < x.size(); ++t) x[t] += 1.5;
    quarn::MethodArguments arguments;
    arguments.series = x;
    const auto reference = quarn::detect_changes(arguments);
    CHECK(reference.has_value());
    if (!reference) return;
    const Found expected = found_in(*reference);
    bool pattern = false;
    for (const auto kind : expected.kinds) pattern = pattern || kind == quarn::ChangeKind::pattern;
    CHECK(pattern);
    for (const std::uint64_t workers : {1u, 2u, 3u, 8u}) {
        arguments.workers = workers;
        const auto other = quarn::detect_changes(arguments);
        CHECK(other.has_value() && found_in(*other) == expected);
    }
    // A stop asked for at any moment ends the call with the stop error or
    // lets it finish with the same result, and never leaves a search
    // running on what the call freed (which the sanitizers would see).
    for (const std::uint64_t workers : {1u, 2u}) {
        for (const int delay : {0, 200, 1000, 3000}) {
            quarn::RunControl control;
            arguments.workers = workers;
            arguments.control = &control;
            std::thread stopper([&control, delay] {
                std::this_thread::sleep_for(std::chrono::microseconds(delay));
                control.request_stop();
            });
            const auto ended = quarn::detect_changes(arguments);
            stopper.join();
            CHECK(ended ? found_in(*ended) == expected
                        : ended.error().message == quarn::stopped_message);
        }
    }
}
