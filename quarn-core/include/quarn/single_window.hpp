// Position grid, window statistic and the single-window sweep.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "quarn/control.hpp"
#include "quarn/defaults.hpp"
#include "quarn/error.hpp"
#include "quarn/sequential_rule.hpp"
#include "quarn/stats.hpp"
#include "quarn/threshold_runs.hpp"

namespace quarn {

// Findings of one window size.
struct WindowResult {
    std::uint64_t window_size = 0;
    std::vector<std::uint64_t> change_points;
    std::vector<std::uint64_t> starts;
    std::vector<double> statistics;
    std::vector<double> tapered_block_bootstrap_threshold;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> localized_regions;
    // Holds the thresholds instead of tapered_block_bootstrap_threshold
    // (which is then empty) when the caller asked for them by runs and the
    // runs take less memory; empty otherwise.
    ThresholdRuns threshold_runs;
};

// Arguments of a sweep that do not depend on the window size.
struct DetectorSettings {
    std::uint64_t n_perm = default_n_perm;
    double percent = 100.0;  // alpha_q as a percentage
    std::uint64_t seed = 123;
    ChangeType change_type = ChangeType::mean;
    double std_floor = quarn::std_floor;
    std::optional<std::uint64_t> b;
    double taper_ratio = 0.5;
    bool center = true;
    // Stop requests and progress of a run; none when nobody waits on them.
    RunControl* control = nullptr;
    // False leaves WindowResult's starts empty (v * w for every position v,
    // for callers that imply them from the window size).
    bool keep_starts = true;
    // True records the thresholds by runs where that takes less memory
    // (WindowResult's threshold_runs; see ThresholdRecorder).
    bool threshold_runs = false;
    // Replicates drawn in rounds, until the threshold's decisions are
    // settled (see sequential_bootstrap_threshold); by default all at once.
    SequentialRule sequential;
    // False frees WindowResult's statistics once the sweep is done (they are
    // then empty), for callers that read only the change points, or that
    // compute the statistics again later (window_statistics) when the
    // memory they take is not needed for anything else.
    bool keep_statistics = true;
    // Where set, the sweep's nested loops (the replicates of each threshold,
    // the change points of the regions) run on the calling thread while it
    // reads false: while every other thread of the pool has a sweep of its
    // own, spreading them costs more than it brings (on short series, the
    // most of the candidate detector's time went to setting out and
    // gathering pieces no other thread was free to take). Read before each
    // threshold and before the regions; the results do not depend on it.
    const std::atomic<bool>* spare_threads = nullptr;
};

// Number of positions floor(n / w) - 1 (0 when n < 2w).
std::uint64_t position_count(std::size_t n, std::uint64_t window_size);

// Wasserstein-1 distance between the two windows of position v.
double window_statistic(std::span<const double> series, std::uint64_t position,
                        std::uint64_t window_size);

// The statistic of every position of a sweep of `window_size` over
// `series`, as detect_single_window computes them: the same values, bit
// for bit. `control`'s stop requests are looked at every 256 positions; a
// stop leaves the result short (fewer than position_count values).
std::vector<double> window_statistics(SeriesView series, std::uint64_t window_size,
                                      const RunControl* control = nullptr);

// Sweeps one window size over a validated series (as it is, or standardised
// as it is read).
Result<WindowResult> detect_single_window(SeriesView series, const PrefixSums& prefix,
                                          std::uint64_t window_size,
                                          const DetectorSettings& settings);

}  // namespace quarn
