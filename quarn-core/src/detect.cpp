#include "quarn/detect.hpp"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/partitioner.h>

#include <algorithm>
#include <limits>
#include <string>
#include <utility>

#include "quarn/bootstrap.hpp"
#include "quarn/distance.hpp"
#include "quarn/refine.hpp"

namespace quarn {

namespace {

// From this many regions on, change points are placed in parallel.
constexpr std::size_t parallel_region_threshold = 8;

// Positions swept between two progress reports and stop checks.
constexpr std::uint64_t progress_stride = 256;

// Statistic of position v with caller-owned buffers of w values each, so the
// sweep reuses them from one position to the next.
double statistic_with(std::span<const double> series, std::uint64_t position,
                      std::uint64_t window_size, std::vector<double>& left,
                      std::vector<double>& right) {
    const std::size_t w = static_cast<std::size_t>(window_size);
    const auto first = series.begin() + static_cast<std::ptrdiff_t>(position * window_size);
    left.assign(first, first + static_cast<std::ptrdiff_t>(w));
    right.assign(first + static_cast<std::ptrdiff_t>(w),
                 first + static_cast<std::ptrdiff_t>(2 * w));
    total_order_sort(left);
    total_order_sort(right);
    return wasserstein_distance(left, right);
}

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
// kept strictly inside the region.
Result<std::uint64_t> region_change_point(std::span<const double> series,
                                          std::pair<std::uint64_t, std::uint64_t> region,
                                          ChangeType change_type) {
    const auto [start, end] = region;
    const auto split = best_split(
        series.subspan(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)),
        change_type);
    if (!split) return fail(split.error());
    return std::clamp(start + *split, start + 1, end - 1);
}

}  // namespace

std::uint64_t position_count(std::size_t n, std::uint64_t window_size) {
    if (window_size == 0) return 0;
    // n / w cannot overflow where (v + 2) * w or 2 * w could.
    const std::uint64_t whole_windows = static_cast<std::uint64_t>(n) / window_size;
    return whole_windows < 2 ? 0 : whole_windows - 1;
}

double window_statistic(std::span<const double> series, std::uint64_t position,
                        std::uint64_t window_size) {
    std::vector<double> left;
    std::vector<double> right;
    return statistic_with(series, position, window_size, left, right);
}

Result<WindowResult> detect_single_window(std::span<const double> series, const PrefixSums& prefix,
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

    result.starts.reserve(static_cast<std::size_t>(positions));
    result.statistics.reserve(static_cast<std::size_t>(positions));
    result.tapered_block_bootstrap_threshold.reserve(static_cast<std::size_t>(positions));
    std::vector<std::uint64_t> significant;
    std::vector<double> left;
    std::vector<double> right;

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
            const auto fresh =
                block_bootstrap_threshold(series, prefix, window_size, start,
                                          make_position_key(call_key, start), bootstrap, scratch);
            if (!fresh) return fail(fresh.error());
            if (control != nullptr && control->stop_requested()) {
                return fail(std::string(stopped_message));
            }
            threshold = *fresh;
        }
        const double stat = statistic_with(series, v, window_size, left, right);
        result.starts.push_back(start);
        result.statistics.push_back(stat);
        result.tapered_block_bootstrap_threshold.push_back(threshold);
        // Strict, and false whenever either side is NaN.
        refresh = stat > threshold;
        if (refresh) significant.push_back(v);
    }

    if (control != nullptr) control->add_progress(unreported);

    result.localized_regions = merge_regions(significant, window_size);
    const auto& regions = result.localized_regions;
    std::vector<Result<std::uint64_t>> points(regions.size(), Result<std::uint64_t>(0));
    const auto place = [&](std::size_t r) {
        points[r] = region_change_point(series, regions[r], settings.change_type);
    };
    if (regions.size() >= parallel_region_threshold) {
        tbb::parallel_for(
            tbb::blocked_range<std::size_t>(0, regions.size(), 1),
            [&](const tbb::blocked_range<std::size_t>& piece) {
                for (std::size_t r = piece.begin(); r != piece.end(); ++r) place(r);
            },
            tbb::simple_partitioner());
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
