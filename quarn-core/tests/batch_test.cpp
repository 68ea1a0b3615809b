#include "quarn/batch.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "check.hpp"
#include "quarn/confirm.hpp"
#include "quarn/pool.hpp"
#include "sample_series.hpp"

namespace {

using Workers = std::optional<std::uint64_t>;

// Noise with a level shift at 1/3 and a spread change at 2/3 of its length.
std::vector<double> changing(std::size_t n, std::uint64_t seed) {
    std::vector<double> x = sample::noise(seed, static_cast<int>(n));
    for (std::size_t t = n / 3; t < n; ++t) x[t] += 1.5;
    for (std::size_t t = 2 * n / 3; t < n; ++t) x[t] *= 2.5;
    return x;
}

// Everything the method reports, as bit patterns (NaN equal to itself).
std::vector<std::uint64_t> figures(const quarn::MethodOutput& output) {
    std::vector<std::uint64_t> found = {output.candidates};
    const auto add = [&found](double value) {
        found.push_back(std::bit_cast<std::uint64_t>(value));
    };
    for (const double factor : {output.factors.level, output.factors.spread, output.factors.shape,
                                output.factors.trend, output.unit}) {
        add(factor);
    }
    for (const auto& change : output.changes) {
        found.insert(found.end(), {change.position, static_cast<std::uint64_t>(change.kind),
                                   change.votes, change.report.interval_low,
                                   change.report.interval_high,
                                   static_cast<std::uint64_t>(change.report.direction)});
        add(change.p_value);
        add(change.report.effect);
    }
    for (const auto& segment : output.segments) {
        found.insert(found.end(), {segment.start, segment.stop, segment.count});
        add(segment.level);
        add(segment.spread);
        add(segment.slope);
    }
    return found;
}

}  // namespace

TEST(short_series_among_many_keep_their_nested_loops_to_themselves) {
    const std::size_t short_length = quarn::nested_series_size - 1;
    for (const std::size_t threads : {std::size_t{1}, std::size_t{2}, std::size_t{3}}) {
        CHECK(quarn::series_runs_alone(threads, threads, short_length));
        CHECK(quarn::series_runs_alone(threads + 5, threads, 10));
        CHECK(!quarn::series_runs_alone(threads, threads, quarn::nested_series_size));
    }
    // Fewer series than threads: the nested loops fill the idle threads.
    CHECK(!quarn::series_runs_alone(2, 3, 10));
    CHECK(!quarn::series_runs_alone(0, 1, 10));
}

TEST(each_series_task_runs_in_the_scope_its_length_and_the_pool_ask_for) {
    const std::vector<std::size_t> lengths = {50, quarn::nested_series_size, 50, 3};
    for (const std::uint64_t workers : {1u, 2u, 4u, 5u}) {
        std::vector<int> scoped(lengths.size(), -1);
        const auto failure = quarn::run_series_tasks(
            lengths.size(), workers, nullptr,
            [&](std::size_t i) -> std::optional<quarn::DetectorError> {
                scoped[i] = quarn::serial_here() ? 1 : 0;
                return std::nullopt;
            },
            lengths);
        CHECK(!failure.has_value());
        for (std::size_t i = 0; i < lengths.size(); ++i) {
            const bool alone = workers <= lengths.size() && lengths[i] < quarn::nested_series_size;
            CHECK_EQ(scoped[i], alone ? 1 : 0);
        }
    }
    // Without lengths every series is treated as a long one.
    bool any_scoped = false;
    const auto failure = quarn::run_series_tasks(
        6, Workers{2}, nullptr, [&](std::size_t) -> std::optional<quarn::DetectorError> {
            if (quarn::serial_here()) any_scoped = true;
            return std::nullopt;
        });
    CHECK(!failure.has_value() && !any_scoped);
    CHECK(!quarn::serial_here());
}

TEST(many_series_in_their_scopes_equal_one_call_per_series) {
    // Short series run in a scope whenever the call has as many series as
    // threads; the long one keeps its nested loops on the pool.
    std::vector<std::vector<double>> values;
    for (const std::size_t n : {600u, 1500u, 400u}) values.push_back(changing(n, n));
    values.push_back(changing(quarn::nested_series_size + 300, 5));
    values.push_back(changing(900, 9));
    const std::vector<std::span<const double>> series(values.begin(), values.end());
    std::vector<std::vector<std::uint64_t>> expected;
    for (const auto& one : values) {
        quarn::MethodArguments arguments;
        arguments.series = one;
        const auto output = quarn::detect_changes(arguments);
        CHECK(output.has_value());
        expected.push_back(output ? figures(*output) : std::vector<std::uint64_t>{});
    }
    for (const Workers workers : {Workers{}, Workers{1}, Workers{2}, Workers{3}, Workers{8}}) {
        quarn::MethodArguments options;
        options.workers = workers;
        const auto many = quarn::detect_changes_many(series, options);
        CHECK(many.has_value() && many->size() == series.size());
        if (!many || many->size() != series.size()) continue;
        for (std::size_t i = 0; i < series.size(); ++i) CHECK(figures((*many)[i]) == expected[i]);
    }
}
