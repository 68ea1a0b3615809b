#include "multi_window.hpp"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/partitioner.h>
#include <oneapi/tbb/task_arena.h>

#include <algorithm>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "quarn/bootstrap.hpp"
#include "quarn/stats.hpp"

namespace quarn {

namespace {

const std::vector<std::uint64_t>& default_window_sizes() {
    static const std::vector<std::uint64_t> sizes{10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
    return sizes;
}

bool equals_ascii_case_insensitive(std::string_view text, std::string_view lower) {
    if (text.size() != lower.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char ch = text[i];
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
        if (ch != lower[i]) return false;
    }
    return true;
}

Status check_window_sizes(const std::vector<std::uint64_t>& sizes) {
    if (sizes.empty()) return fail("window_sizes must not be empty");
    for (const std::uint64_t size : sizes) {
        if (size == 0) return fail("window_sizes must be positive, got " + std::to_string(size));
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

using WindowOutcome = Result<WindowResult>;

// One task per window size; task i writes only slot i, so the outcomes are
// in input order whatever thread ran which task. Nested parallel work of a
// task (replicates, regions) runs on the pool of the thread running it.
void run_window_tasks(std::span<const double> series, const PrefixSums& prefix,
                      const std::vector<std::uint64_t>& sizes, const DetectorSettings& settings,
                      std::vector<std::optional<WindowOutcome>>& outcomes) {
    tbb::parallel_for(
        tbb::blocked_range<std::size_t>(0, sizes.size(), 1),
        [&](const tbb::blocked_range<std::size_t>& range) {
            for (std::size_t i = range.begin(); i != range.end(); ++i) {
                outcomes[i].emplace(detect_single_window(series, prefix, sizes[i], settings));
            }
        },
        tbb::simple_partitioner());
}

// Runs `run` on the process-wide default pool (workers 0) or on a pool of
// its own for this call. The core throws nothing but allocation failures,
// so any other exception out of the run is the pool's: a worker thread that
// could not be started.
template <class Run>
Status run_on_pool(std::uint64_t workers, Run&& run) {
    try {
        if (workers == 0) {
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
    } catch (const std::length_error&) {
        throw;
    } catch (const std::exception& error) {
        return fail(std::string("failed to build oneTBB thread pool: ") + error.what());
    }
}

}  // namespace

Result<DetectorOutput> detect_multi_window(const MultiWindowArguments& arguments) {
    if (auto valid = validate_series(arguments.series); !valid) return fail(valid.error());
    const std::vector<std::uint64_t>& sizes =
        arguments.window_sizes ? *arguments.window_sizes : default_window_sizes();
    if (auto valid = check_window_sizes(sizes); !valid) return fail(valid.error());
    if (auto valid = check_backend(arguments.backend); !valid) return fail(valid.error());
    const Result<ChangeType> change_type = parse_change_type(arguments.change_type);
    if (!change_type) return fail(change_type.error());

    DetectorSettings settings;
    settings.n_perm = arguments.n_perm;
    settings.percent = percent_from_alpha(arguments.alpha_q);
    settings.seed = arguments.seed;
    settings.change_type = *change_type;
    settings.std_floor = std_floor;
    settings.b = arguments.b;
    settings.taper_ratio = arguments.taper_ratio;
    settings.center = arguments.center;

    const PrefixSums prefix = PrefixSums::build(arguments.series);
    std::vector<std::optional<WindowOutcome>> outcomes(sizes.size());

    const Status ran = run_on_pool(arguments.workers.value_or(0), [&] {
        run_window_tasks(arguments.series, prefix, sizes, settings, outcomes);
    });
    if (!ran) return fail(ran.error());

    DetectorOutput output;
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        WindowOutcome& outcome = *outcomes[i];
        if (!outcome) return fail(std::move(outcome.error()));
        const std::uint64_t size = sizes[i];
        output.window_change_points.insert_or_assign(size, outcome->change_points);
        output.window_results.insert_or_assign(size, std::move(*outcome));
    }
    // The outcomes were moved into the maps; release what is left of them.
    std::vector<std::optional<WindowOutcome>>().swap(outcomes);

    const SegmentCollection segments = build_segments(output.window_change_points, arguments.tol);
    Result<Consensus> consensus =
        score_leaders(segments, static_cast<std::uint64_t>(output.window_change_points.size()));
    if (!consensus) return fail(std::move(consensus.error()));
    output.consensus = std::move(*consensus);
    return output;
}

}  // namespace quarn
