#include "quarn/batch.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <functional>
#include <new>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include <oneapi/tbb/task_arena.h>

#include "quarn/pool.hpp"

namespace quarn {

namespace {

bool stopped(const RunControl* control) {
    return control != nullptr && control->stop_requested();
}

// What one series task leaves in its slot; empty when the task was not
// started because an earlier series had already failed.
struct SeriesSlot {
    std::optional<std::optional<DetectorError>> failure;
    std::exception_ptr out_of_memory;
};

// Lowers `first` to `index`: the first failing series known so far.
void note_detector_failure(std::atomic<std::size_t>& first, std::size_t index) {
    std::size_t known = first.load(std::memory_order_relaxed);
    while (index < known && !first.compare_exchange_weak(known, index, std::memory_order_relaxed)) {
    }
}

}  // namespace

bool series_runs_alone(std::size_t count, std::size_t threads, std::size_t length) noexcept {
    return count >= threads && length < nested_series_size;
}

std::optional<DetectorError> run_series_tasks(
    std::size_t count, std::optional<std::uint64_t> workers, RunControl* control,
    const std::function<std::optional<DetectorError>(std::size_t)>& run_one,
    std::span<const std::size_t> lengths) {
    std::vector<SeriesSlot> slots(count);
    std::atomic<std::size_t> first_failure{count};
    // The threads of the pool the series run on, known once inside it.
    std::size_t threads = 1;
    const auto run_series = [&](std::size_t i) {
        // A failure before this series decides the call; its work is moot.
        if (first_failure.load(std::memory_order_relaxed) < i) return;
        // Series not yet begun when a stop is asked for end at once.
        if (stopped(control)) {
            slots[i].failure.emplace(stopped_failure().error());
            note_detector_failure(first_failure, i);
            return;
        }
        std::optional<SerialHere> alone;
        if (i < lengths.size() && series_runs_alone(count, threads, lengths[i])) alone.emplace();
        try {
            auto& failure = slots[i].failure.emplace(run_one(i));
            if (failure) note_detector_failure(first_failure, i);
        } catch (const std::bad_alloc&) {
            slots[i].out_of_memory = std::current_exception();
            note_detector_failure(first_failure, i);
        } catch (const std::length_error&) {
            slots[i].out_of_memory = std::current_exception();
            note_detector_failure(first_failure, i);
        }
    };
    const Status ran = run_on_pool(workers.value_or(0), [&] {
        threads = static_cast<std::size_t>(std::max(1, tbb::this_task_arena::max_concurrency()));
        parallel_pieces(std::size_t{0}, count, std::size_t{1},
                        [&](std::size_t begin, std::size_t end) {
                            for (std::size_t i = begin; i != end; ++i) run_series(i);
                        });
    });
    if (!ran) return DetectorError{ran.error(), {}, {}, {}};

    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (slots[i].out_of_memory) std::rethrow_exception(slots[i].out_of_memory);
        // Only series after a failure are skipped, and that failure comes
        // first in this walk.
        if (slots[i].failure && *slots[i].failure) {
            DetectorError error = std::move(**slots[i].failure);
            error.series_index = i;
            return error;
        }
    }
    return std::nullopt;
}

}  // namespace quarn
