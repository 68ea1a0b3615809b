#include "quarn/multi_window.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include <oneapi/tbb/task_arena.h>

#include "quarn/batch.hpp"
#include "quarn/bootstrap.hpp"
#include "quarn/distance.hpp"
#include "quarn/pool.hpp"
#include "quarn/stats.hpp"

namespace quarn {

namespace {

bool equals_ascii_case_insensitive(std::string_view text, std::string_view lower) {
    if (text.size() != lower.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char ch = text[i];
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
        if (ch != lower[i]) return false;
    }
    return true;
}

bool stopped(const RunControl* control) {
    return control != nullptr && control->stop_requested();
}

Status check_window_sizes(const std::vector<std::uint64_t>& sizes) {
    if (sizes.empty()) return fail("window_sizes must not be empty");
    for (const std::uint64_t size : sizes) {
        if (size == 0) return fail("window_sizes must be positive, got " + std::to_string(size));
    }
    return {};
}

// A setting in decimal, as the messages show it ("nan", "-5", "inf").
std::string setting_text(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.17g", value);
    return buffer;
}

// The quantile level and the taper ramp take any float; NaN, infinite and
// negative values give them no meaning (a NaN level picks the smallest
// replicate), so they are refused. Checked after every other check and
// after the run, so that the messages of those come first, as before.
Status check_settings(double alpha_q, double taper_ratio) {
    if (!(alpha_q >= 0.0) || std::isinf(alpha_q)) {
        return fail("alpha_q must be finite and not negative, got " + setting_text(alpha_q));
    }
    if (!(taper_ratio >= 0.0) || std::isinf(taper_ratio)) {
        return fail("taper_ratio must be finite and not negative, got " +
                    setting_text(taper_ratio));
    }
    return {};
}

Status check_backend(std::string_view backend) {
    if (equals_ascii_case_insensitive(backend, "thread") ||
        equals_ascii_case_insensitive(backend, "process")) {
        return {};
    }
    return fail(
        "backend must be 'thread' or 'process'. Both options run the window sizes on the "
        "module's own worker threads.");
}

DetectorSettings settings_from(std::uint64_t n_perm, double alpha_q, std::uint64_t seed,
                               ChangeType change_type, std::optional<std::uint64_t> b,
                               double taper_ratio, bool center, RunControl* control) {
    DetectorSettings settings;
    settings.n_perm = n_perm;
    settings.percent = percent_from_alpha(alpha_q);
    settings.seed = seed;
    settings.change_type = change_type;
    settings.std_floor = std_floor;
    settings.b = b;
    settings.taper_ratio = taper_ratio;
    settings.center = center;
    settings.control = control;
    return settings;
}

// What one window task leaves in its slot: its outcome, or the allocation
// failure (or impossible size) that ended it, to be raised again on the
// calling thread.
struct WindowSlot {
    std::optional<Result<WindowResult>> outcome;
    std::exception_ptr out_of_memory;
};

// One task per window size; task i writes only slot i, so the outcomes are
// in input order whatever thread ran which task. One loop per thread of the
// pool takes the sizes from a shared count in window_task_order, so that the
// costly sizes start first, on different threads, and no thread waits while
// another holds a queue of sizes of its own. Nested parallel work of a task
// (replicates, regions) runs on the pool of the thread running it once a
// thread of the pool has no size left to take, and on its own thread before.
void run_window_tasks(SeriesView series, const PrefixSums& prefix,
                      const std::vector<std::uint64_t>& sizes, const DetectorSettings& settings,
                      std::vector<WindowSlot>& slots) {
    const auto run = [&](std::size_t i, const DetectorSettings& each) {
        try {
            slots[i].outcome.emplace(detect_single_window(series, prefix, sizes[i], each));
        } catch (const std::bad_alloc&) {
            slots[i].out_of_memory = std::current_exception();
        } catch (const std::length_error&) {
            slots[i].out_of_memory = std::current_exception();
        }
    };
    const std::vector<std::size_t> order = window_task_order(sizes);
    std::atomic<std::size_t> taken{0};
    const auto threads =
        static_cast<std::size_t>(std::max(1, tbb::this_task_arena::max_concurrency()));
    const std::size_t loops = std::min(sizes.size(), threads);
    // While every loop has a size to sweep, each sweep's nested loops stay
    // on its thread; once one loop runs out of sizes (or from the start,
    // where there are fewer sizes than threads), they spread again, so that
    // the last sweeps still share out their replicates.
    std::atomic<bool> spare{loops < threads};
    DetectorSettings own = settings;
    if (loops >= 2) own.spare_threads = &spare;
    parallel_pieces(std::size_t{0}, loops, std::size_t{1}, [&](std::size_t, std::size_t) {
        for (std::size_t k = taken.fetch_add(1); k < order.size(); k = taken.fetch_add(1)) {
            run(order[k], own);
        }
        spare.store(true, std::memory_order_relaxed);
    });
}

}  // namespace

std::unexpected<DetectorError> detector_failure(std::string message) {
    return std::unexpected(DetectorError{std::move(message), std::nullopt, std::nullopt, {}});
}

std::unexpected<DetectorError> stopped_failure() {
    return std::unexpected(DetectorError{std::string(stopped_message), std::nullopt, std::nullopt,
                                         {}, ErrorKind::stopped});
}

std::unexpected<DetectorError> window_failure(std::string message, std::uint64_t window_size,
                                              std::optional<std::uint64_t> b) {
    // A sweep fails on its own only when two windows cannot hold one block.
    const std::uint64_t reference = 2 * window_size;
    const ErrorKind kind = block_length_for(reference, b) > reference ? ErrorKind::window_too_small
                                                                       : ErrorKind::invalid_argument;
    return std::unexpected(DetectorError{std::move(message), std::nullopt, window_size, {}, kind});
}

std::optional<DetectorError> check_series(std::span<const double> series) {
    auto valid = validate_series(series);
    if (valid) return std::nullopt;
    DetectorError error{std::move(valid.error()), std::nullopt, std::nullopt, {},
                        ErrorKind::invalid_series};
    const auto bad = std::find_if_not(series.begin(), series.end(), is_finite_value);
    if (series.size() >= 3 && bad != series.end()) {
        error.non_finite_index = static_cast<std::uint64_t>(bad - series.begin());
    }
    return error;
}

const std::vector<std::uint64_t>& default_window_sizes() {
    static const std::vector<std::uint64_t> sizes{10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
    return sizes;
}

std::vector<std::size_t> window_task_order(std::span<const std::uint64_t> sizes) {
    std::vector<std::size_t> ascending(sizes.size());
    for (std::size_t i = 0; i < ascending.size(); ++i) ascending[i] = i;
    std::stable_sort(ascending.begin(), ascending.end(),
                     [&](std::size_t a, std::size_t b) { return sizes[a] < sizes[b]; });
    std::vector<std::size_t> order;
    order.reserve(ascending.size());
    std::size_t low = 0;
    std::size_t high = ascending.size();
    while (low < high) {
        order.push_back(ascending[--high]);
        if (low < high) order.push_back(ascending[low++]);
    }
    return order;
}

std::uint64_t sweep_positions(std::size_t n, std::span<const std::uint64_t> window_sizes) {
    std::uint64_t total = 0;
    for (const std::uint64_t size : window_sizes) total += position_count(n, size);
    return total;
}

DetectorResult<WindowResult> run_single_window(const SingleWindowArguments& arguments) {
    if (auto error = check_series(arguments.series)) return std::unexpected(std::move(*error));
    if (arguments.window_size == 0) return detector_failure("window_size must be positive");
    const PrefixSums prefix = PrefixSums::build(arguments.series);
    const Result<ChangeType> change_type = parse_change_type(arguments.change_type);
    if (!change_type) return detector_failure(change_type.error());
    const DetectorSettings settings =
        settings_from(arguments.n_perm, arguments.alpha_q, arguments.seed, *change_type,
                      arguments.b, arguments.taper_ratio, arguments.center, arguments.control);
    Result<WindowResult> result =
        detect_single_window(arguments.series, prefix, arguments.window_size, settings);
    if (!result) {
        return window_failure(std::move(result.error()), arguments.window_size, arguments.b);
    }
    if (auto valid = check_settings(arguments.alpha_q, arguments.taper_ratio); !valid) {
        return detector_failure(valid.error());
    }
    return std::move(*result);
}

DetectorResult<DetectorOutput> detect_multi_window(const MultiWindowArguments& arguments) {
    if (auto error = check_series(arguments.series)) return std::unexpected(std::move(*error));
    const std::vector<std::uint64_t>& sizes =
        arguments.window_sizes ? *arguments.window_sizes : default_window_sizes();
    if (auto valid = check_window_sizes(sizes); !valid) return detector_failure(valid.error());
    if (auto valid = check_backend(arguments.backend); !valid)
        return detector_failure(valid.error());
    const Result<ChangeType> change_type = parse_change_type(arguments.change_type);
    if (!change_type) return detector_failure(change_type.error());
    DetectorSettings settings =
        settings_from(arguments.n_perm, arguments.alpha_q, arguments.seed, *change_type,
                      arguments.b, arguments.taper_ratio, arguments.center, arguments.control);
    settings.keep_starts = arguments.keep_starts;
    settings.threshold_runs = arguments.threshold_runs;
    settings.sequential = arguments.sequential;
    settings.keep_statistics = arguments.keep_statistics;

    // A run stopped before it began skips the pass over the series.
    if (stopped(arguments.control)) return stopped_failure();
    const SeriesView series = arguments.standardisation
                                  ? SeriesView(arguments.series, *arguments.standardisation)
                                  : SeriesView(arguments.series);
    const PrefixSums prefix = PrefixSums::build(series);
    std::vector<WindowSlot> slots(sizes.size());
    const Status ran = run_on_pool(arguments.workers.value_or(0), [&] {
        run_window_tasks(series, prefix, sizes, settings, slots);
    });
    if (!ran) return detector_failure(ran.error());

    DetectorOutput output;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (slots[i].out_of_memory) std::rethrow_exception(slots[i].out_of_memory);
        Result<WindowResult>& outcome = *slots[i].outcome;
        if (!outcome) {
            return window_failure(std::move(outcome.error()), sizes[i], arguments.b);
        }
        const std::uint64_t size = sizes[i];
        output.window_change_points.insert_or_assign(size, outcome->change_points);
        output.window_results.insert_or_assign(size, std::move(*outcome));
    }
    // The outcomes were moved into the maps; release what is left of them.
    std::vector<WindowSlot>().swap(slots);

    if (arguments.with_consensus) {
        const SegmentCollection segments =
            build_segments(output.window_change_points, arguments.tol);
        Result<Consensus> consensus = score_leaders(
            segments, static_cast<std::uint64_t>(output.window_change_points.size()));
        if (!consensus) return detector_failure(std::move(consensus.error()));
        output.consensus = std::move(*consensus);
    }
    if (auto valid = check_settings(arguments.alpha_q, arguments.taper_ratio); !valid) {
        return detector_failure(valid.error());
    }
    return output;
}

DetectorResult<std::vector<DetectorOutput>> detect_many_series(
    std::span<const std::span<const double>> series, const MultiWindowArguments& options) {
    MultiWindowArguments each = options;
    each.standardisation.reset();
    return detect_each_series(series, each, &detect_multi_window);
}

}  // namespace quarn
