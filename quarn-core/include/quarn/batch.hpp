// Many series in one call: a pool for the call, one task per series, the
// first failure in input order. Both detectors' many-series calls run here.
#pragma once

#include <oneapi/tbb/task_arena.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "quarn/control.hpp"
#include "quarn/error.hpp"
#include "quarn/multi_window.hpp"
#include "quarn/pool.hpp"

namespace quarn {

// Runs `run` on the process-wide default pool (workers 0) or on a pool of
// its own for this call. The tasks keep their own failures, so anything
// that comes out of the pool is the pool's: a worker thread that could not
// be started, which oneTBB does lazily, when the first work arrives.
template <class Run>
Status run_on_pool(std::uint64_t workers, Run&& run) {
    try {
        // A pool given up, or a SerialHere scope, runs everything on this
        // thread (see pool.hpp).
        if (workers == 0 || pool_given_up() || serial_here()) {
            run();
            return {};
        }
        // Destroying the arena detaches it; its worker threads return on
        // their own without being joined.
        tbb::task_arena arena(static_cast<int>(std::min(workers, max_dedicated_workers)));
        arena.initialize();
        arena.execute(run);
        return {};
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& error) {
        return fail(std::string("failed to build oneTBB thread pool: ") + error.what());
    }
}

// Series shorter than this run their nested loops on their own task's
// thread when a call has at least as many series as its pool has threads.
// On two threads that saved some 3 % of the processor time at 1,000 to
// 10,000 values a series, and nothing at 20,000.
inline constexpr std::size_t nested_series_size = 20000;

// Whether a series of `length` values, one of `count` series on a pool of
// `threads` threads, keeps its nested loops on its task's thread (a
// SerialHere scope): every thread already has series of its own to run,
// and waking others for the nested pieces of so short a series costs more
// than it brings. Longer series keep their nested loops on the pool, so
// that the last of them still spread over the threads left idle.
bool series_runs_alone(std::size_t count, std::size_t threads, std::size_t length) noexcept;

// Runs `run_one(i)` for every i below `count`, one task per series, on the
// default pool (`workers` absent or 0) or on one pool of `workers` threads
// built for the call; work nested in a task runs on the same pool, or on
// the task's thread where series_runs_alone says so for `lengths[i]` (no
// lengths: as for long series). Series not begun when `control` asks to
// stop fail with the stop message, and series after a known failure are
// not started. Returns the failure of the first failing series in input
// order, with its `series_index`, or nothing. Out of memory in a task is
// thrown again once every task has ended.
std::optional<DetectorError> run_series_tasks(
    std::size_t count, std::optional<std::uint64_t> workers, RunControl* control,
    const std::function<std::optional<DetectorError>(std::size_t)>& run_one,
    std::span<const std::size_t> lengths = {});

// Calls `detect(arguments)` for every series, with the arguments of
// `options` but the series' own values and no pool of their own: every
// series runs as a task of run_series_tasks on the pool of
// `options.workers`, and its nested work on the same pool or, for a short
// series among many, on its task's thread. The outputs come
// in input order and equal one call per series; a failure is the first
// failing series' in input order, with its `series_index`.
template <class Arguments, class Detect>
auto detect_each_series(std::span<const std::span<const double>> series,
                        const Arguments& options, const Detect& detect)
    -> DetectorResult<
        std::vector<typename std::invoke_result_t<const Detect&, const Arguments&>::value_type>> {
    using Output = typename std::invoke_result_t<const Detect&, const Arguments&>::value_type;
    Arguments each = options;
    each.workers.reset();  // every series runs on the pool chosen below
    std::vector<std::optional<Output>> done(series.size());
    std::vector<std::size_t> lengths(series.size());
    for (std::size_t i = 0; i < series.size(); ++i) lengths[i] = series[i].size();
    auto failure = run_series_tasks(series.size(), options.workers, options.control,
                                    [&](std::size_t i) -> std::optional<DetectorError> {
                                        Arguments arguments = each;
                                        arguments.series = series[i];
                                        auto output = detect(arguments);
                                        if (!output) return std::move(output.error());
                                        done[i].emplace(std::move(*output));
                                        return std::nullopt;
                                    },
                                    lengths);
    if (failure) return std::unexpected(std::move(*failure));
    std::vector<Output> outputs;
    outputs.reserve(series.size());
    for (auto& output : done) outputs.push_back(std::move(*output));
    return outputs;
}

}  // namespace quarn
