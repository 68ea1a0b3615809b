// The detectors as whole calls: the checks of their arguments, the set-up
// shared by all window sizes, the worker pool, one single-window sweep per
// window size, and the consensus. Plain C++; no Python objects.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quarn/consensus.hpp"
#include "quarn/control.hpp"
#include "quarn/single_window.hpp"

namespace quarn {

// The failure of a detector call: the message, and what it is about where
// that is a single value the caller may want to point at.
struct DetectorError {
    std::string message;
    // Index of the first NaN or infinite value of the series.
    std::optional<std::uint64_t> non_finite_index;
    // The window size whose sweep failed.
    std::optional<std::uint64_t> window_size;
    // Of several series run together, the one that failed.
    std::optional<std::uint64_t> series_index;
    ErrorKind kind = ErrorKind::invalid_argument;
};

template <class T>
using DetectorResult = std::expected<T, DetectorError>;

// The failure of a check that concerns no particular value or series.
std::unexpected<DetectorError> detector_failure(std::string message);

// A run stopped by the caller.
std::unexpected<DetectorError> stopped_failure();

// The failure of one window size's sweep, with its kind.
std::unexpected<DetectorError> window_failure(std::string message, std::uint64_t window_size,
                                              std::optional<std::uint64_t> b);

// The series checks (at least 3 values, all finite), with the index of the
// first non-finite value when that is what failed.
std::optional<DetectorError> check_series(std::span<const double> series);

struct SingleWindowArguments {
    std::span<const double> series;
    std::uint64_t window_size = 0;
    std::uint64_t n_perm = default_n_perm;
    double alpha_q = 1.0;
    std::uint64_t seed = 123;
    std::string_view change_type = "mean";
    std::optional<std::uint64_t> b;
    double taper_ratio = 0.5;
    bool center = true;
    RunControl* control = nullptr;
};

// Checks the series, the window size and the change type, in that order,
// then sweeps the one window size.
DetectorResult<WindowResult> run_single_window(const SingleWindowArguments& arguments);

struct MultiWindowArguments {
    std::span<const double> series;
    std::optional<std::vector<std::uint64_t>> window_sizes;
    std::uint64_t n_perm = default_n_perm;
    double alpha_q = 1.0;
    std::uint64_t seed = 123;
    std::uint64_t tol = 2;
    std::optional<std::uint64_t> workers;
    std::string_view backend = "thread";
    std::string_view change_type = "mean";
    std::optional<std::uint64_t> b;
    double taper_ratio = 0.5;
    bool center = true;
    RunControl* control = nullptr;
    // False leaves each window's `starts` (v * w for every position v)
    // empty, for callers that imply them from the window size: they are a
    // third of the per-position memory.
    bool keep_starts = true;
    // True records each window's thresholds by runs (WindowResult's
    // threshold_runs) where that takes less memory than one threshold per
    // position: typically a hundredth of it.
    bool threshold_runs = false;
    // When set, the sweeps see `series` standardised as they read it (the
    // same bits as a standardised copy, without the copy's 8 bytes per
    // value). The standardised values must be finite. One series' own
    // setting: detect_many_series ignores it.
    std::optional<Standardisation> standardisation;
    // Replicates of each threshold drawn in rounds (see SequentialRule); by
    // default all at once.
    SequentialRule sequential;
    // False leaves DetectorOutput's consensus empty, for callers that read
    // only the windows' own results: its segments and maps take time at
    // every size and memory beside the windows' results on long series.
    bool with_consensus = true;
    // False leaves every window's statistics empty (see DetectorSettings);
    // each is freed as its sweep ends, not kept beside the others.
    bool keep_statistics = true;
};

struct DetectorOutput {
    WindowChangePoints window_change_points;
    std::map<std::uint64_t, WindowResult> window_results;
    Consensus consensus;
};

// Window sizes used when none are given: 10 to 20.
const std::vector<std::uint64_t>& default_window_sizes();

// Largest dedicated pool a call may ask for.
inline constexpr std::uint64_t max_dedicated_workers = 65535;

// The order in which the window sizes' tasks are taken up, as indices into
// `sizes`: the largest, the smallest, the next largest, the next smallest,
// and so on. The sizes at both ends tend to cost most (long replicates at
// one end; many positions, many of them significant and each drawing
// replicates afresh, at the other), so the cheap middle sizes are left to
// the end, when a thread that finds no size left helps with the replicates
// of the others. Results never depend on this order.
std::vector<std::size_t> window_task_order(std::span<const std::uint64_t> sizes);

// Positions that the sweeps of `window_sizes` visit over a series of n
// values: the total that RunControl::progress() reaches.
std::uint64_t sweep_positions(std::size_t n, std::span<const std::uint64_t> window_sizes);

// Checks every argument, runs every window size on the default pool
// (`workers` absent or 0) or on a pool of its own, and forms the consensus.
DetectorResult<DetectorOutput> detect_multi_window(const MultiWindowArguments& arguments);

// Runs detect_multi_window on every series with the options of `options`
// (whose own `series` is not used), one task per series; each series' own
// window sizes and replicates run as nested work on the same pool, the
// default one or one of `options.workers` threads built once for all. The
// outputs come in input order and equal one call per series. A failure is
// that of the first failing series in input order, with its `series_index`;
// series after a known failure are not started.
DetectorResult<std::vector<DetectorOutput>> detect_many_series(
    std::span<const std::span<const double>> series, const MultiWindowArguments& options);

}  // namespace quarn
