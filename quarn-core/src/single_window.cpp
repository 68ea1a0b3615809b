#include "quarn/single_window.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "quarn/bootstrap.hpp"
#include "quarn/kernels.hpp"
#include "quarn/merged_pass.hpp"
#include "quarn/pool.hpp"
#include "quarn/refine.hpp"
#include "quarn/sequential_threshold.hpp"
#include "quarn/total_order.hpp"

namespace quarn {

namespace {

// From this many regions on, change points are placed in parallel.
constexpr std::size_t parallel_region_threshold = 8;

// Positions swept between two progress reports and stop checks.
constexpr std::uint64_t progress_stride = 256;

// The sorted order keys of the windows of one sweep. Consecutive positions
// share a window (the right window of position v is the left window of
// v + 1), so each window is sorted once: the keys of the right window are
// kept as the left window of the next position.
class SortedWindows {
  public:
    SortedWindows(SeriesView series, std::uint64_t window_size)
        : series_(series),
          w_(static_cast<std::size_t>(window_size)),
          left_(w_ + pass_padding),
          right_(w_ + pass_padding),
          steps_(step_table_size(w_)),
          simd_pass_(simd_merged_pass(active_kernel_path(), w_)) {
        pad_sample(left_.data(), w_);
        pad_sample(right_.data(), w_);
        fill_step_table(steps_, w_);
    }

    // Sorts window `index` (values index * w ... index * w + w - 1) as the
    // left window.
    void start_at(std::uint64_t index) { load(left_.data(), index); }

    // Statistic of position v, whose left window is the one held; holds the
    // right window as the left one of v + 1 afterwards.
    double statistic(std::uint64_t position) {
        load(right_.data(), position + 1);
        const double d = simd_pass_ != nullptr
                             ? simd_pass_(left_.data(), right_.data(), w_, steps_.data())
                             : merged_pass_portable(left_.data(), right_.data(), w_, steps_.data());
        left_.swap(right_);
        return d;
    }

  private:
    void load(OrderKey* keys, std::uint64_t index) {
        series_.visit(static_cast<std::size_t>(index) * w_, w_,
                      [keys](std::size_t i, double value) { keys[i] = total_order_key(value); });
        sort_keys(keys, w_);
    }

    SeriesView series_;
    std::size_t w_;
    std::vector<OrderKey> left_;
    std::vector<OrderKey> right_;
    std::vector<double> steps_;
    MergedPass simd_pass_;
};

// Merges ascending significant positions into regions covering both windows
// of each position; a region absorbs at most the one position after its
// first, so runs of three or more give overlapping regions.
std::vector<std::pair<std::uint64_t, std::uint64_t>> merge_regions(
    const std::vector<std::uint64_t>& significant, std::uint64_t window_size) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> regions;
    std::size_t i = 0;
    while (i < significant.size()) {
        const std::uint64_t first = significant[i];
        std::uint64_t last = first;
        if (i + 1 < significant.size() && significant[i + 1] == first + 1) {
            ++i;
            last = significant[i];
        }
        regions.emplace_back(first * window_size, (last + 2) * window_size);
        ++i;
    }
    return regions;
}

// Change point of one region: the best split, as an index of the series,
// kept strictly inside the region. The region's values are copied out of a
// series standardised as it is read.
Result<std::uint64_t> region_change_point(SeriesView series,
                                          std::pair<std::uint64_t, std::uint64_t> region,
                                          ChangeType change_type) {
    const auto [start, end] = region;
    const auto first = static_cast<std::size_t>(start);
    const auto count = static_cast<std::size_t>(end - start);
    std::vector<double> copied;
    std::span<const double> values;
    if (series.plain_data() != nullptr) {
        values = std::span<const double>(series.plain_data() + first, count);
    } else {
        copied.resize(count);
        series.copy(first, count, copied.data());
        values = copied;
    }
    const auto split = best_split(values, change_type);
    if (!split) return fail(split.error());
    return std::clamp(start + *split, start + 1, end - 1);
}

// Whether a stop was requested, looked at every progress_stride positions.
bool control_stopped(const RunControl* control, std::uint64_t position) {
    return control != nullptr && position % progress_stride == 0 && control->stop_requested();
}

// Whether every other thread of the pool has a sweep of its own (see
// DetectorSettings::spare_threads).
bool busy_pool(const DetectorSettings& settings) {
    return settings.spare_threads != nullptr &&
           !settings.spare_threads->load(std::memory_order_relaxed);
}

}  // namespace

std::uint64_t position_count(std::size_t n, std::uint64_t window_size) {
    if (window_size == 0) return 0;
    // n / w cannot overflow where (v + 2) * w or 2 * w could.
    const std::uint64_t whole_windows = static_cast<std::uint64_t>(n) / window_size;
    return whole_windows < 2 ? 0 : whole_windows - 1;
}

std::vector<double> window_statistics(SeriesView series, std::uint64_t window_size,
                                      const RunControl* control) {
    std::vector<double> statistics;
    const std::uint64_t positions = position_count(series.size(), window_size);
    if (positions == 0) return statistics;
    statistics.reserve(static_cast<std::size_t>(positions));
    SortedWindows windows(series, window_size);
    windows.start_at(0);
    for (std::uint64_t v = 0; v < positions; ++v) {
        if (control_stopped(control, v)) return statistics;
        statistics.push_back(windows.statistic(v));
    }
    return statistics;
}

double window_statistic(std::span<const double> series, std::uint64_t position,
                        std::uint64_t window_size) {
    SortedWindows windows(series, window_size);
    windows.start_at(position);
    return windows.statistic(position);
}

Result<WindowResult> detect_single_window(SeriesView series, const PrefixSums& prefix,
                                          std::uint64_t window_size,
                                          const DetectorSettings& settings) {
    WindowResult result;
    result.window_size = window_size;
    const std::uint64_t positions = position_count(series.size(), window_size);
    if (series.size() < window_size || positions == 0) return result;

    const BootstrapSettings bootstrap{
        .n_perm = settings.n_perm,
        .level = quantile_level(settings.percent, positions),
        .b = settings.b,
        .taper_ratio = settings.taper_ratio,
        .center = settings.center,
        .std_floor = settings.std_floor,
        .control = settings.control,
    };
    const std::uint64_t call_key = make_call_key(settings.seed, window_size);
    BootstrapScratch scratch;

    if (settings.keep_starts) result.starts.reserve(static_cast<std::size_t>(positions));
    ThresholdRecorder thresholds(static_cast<std::size_t>(positions), settings.threshold_runs);
    std::vector<std::uint64_t> significant;
    // Thresholds drawn in rounds look at the statistics they decide, so
    // those are all computed first.
    const bool in_rounds = settings.sequential.round != 0;
    std::vector<OrderKey> sorted_replicates;
    std::optional<SortedWindows> windows;
    if (in_rounds) {
        result.statistics = window_statistics(series, window_size, settings.control);
        if (result.statistics.size() != positions) return fail(std::string(stopped_message));
    } else {
        result.statistics.reserve(static_cast<std::size_t>(positions));
        windows.emplace(series, window_size);
        windows->start_at(0);
    }

    // The threshold is carried forward and refreshed only at the first
    // position and after a significant one.
    double threshold = std::numeric_limits<double>::quiet_NaN();
    bool refresh = true;
    RunControl* const control = settings.control;
    std::uint64_t unreported = 0;
    for (std::uint64_t v = 0; v < positions; ++v) {
        const std::uint64_t start = v * window_size;
        if (control != nullptr && ++unreported == progress_stride) {
            control->add_progress(unreported);
            unreported = 0;
            if (control->stop_requested()) return fail(std::string(stopped_message));
        }
        if (refresh) {
            std::optional<SerialHere> alone;
            if (busy_pool(settings)) alone.emplace();
            const std::uint64_t key = make_position_key(call_key, start);
            const auto fresh =
                in_rounds
                    ? sequential_bootstrap_threshold(
                          series, prefix, window_size, start, key, bootstrap, scratch,
                          settings.sequential,
                          std::span<const double>(result.statistics).subspan(
                              static_cast<std::size_t>(v)),
                          sorted_replicates)
                    : block_bootstrap_threshold(series, prefix, window_size, start, key, bootstrap,
                                                scratch);
            if (!fresh) return fail(fresh.error());
            if (control != nullptr && control->stop_requested()) {
                return fail(std::string(stopped_message));
            }
            threshold = *fresh;
        }
        const double stat = in_rounds ? result.statistics[static_cast<std::size_t>(v)]
                                      : windows->statistic(v);
        if (settings.keep_starts) result.starts.push_back(start);
        if (!in_rounds) result.statistics.push_back(stat);
        thresholds.record(threshold);
        // Strict, and false whenever either side is NaN.
        refresh = stat > threshold;
        if (refresh) significant.push_back(v);
    }

    if (control != nullptr) control->add_progress(unreported);
    std::move(thresholds).finish(result.tapered_block_bootstrap_threshold, result.threshold_runs);
    if (!settings.keep_statistics) std::vector<double>().swap(result.statistics);
    windows.reset();

    result.localized_regions = merge_regions(significant, window_size);
    const auto& regions = result.localized_regions;
    std::vector<Result<std::uint64_t>> points(regions.size(), Result<std::uint64_t>(0));
    const auto place = [&](std::size_t r) {
        points[r] = region_change_point(series, regions[r], settings.change_type);
    };
    if (regions.size() >= parallel_region_threshold && !busy_pool(settings)) {
        parallel_pieces(std::size_t{0}, regions.size(), std::size_t{1},
                        [&](std::size_t begin, std::size_t end) {
                            for (std::size_t r = begin; r != end; ++r) place(r);
                        });
    } else {
        for (std::size_t r = 0; r < regions.size(); ++r) place(r);
    }

    result.change_points.reserve(points.size());
    for (auto& point : points) {
        if (!point) return fail(std::move(point.error()));
        result.change_points.push_back(*point);
    }
    return result;
}

}  // namespace quarn
