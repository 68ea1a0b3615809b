// The default method's candidates: the window sizes and replicates of its
// candidate detector, the points the detector's windows give, and the
// windows' support of a change.
#include <algorithm>
#include <cmath>
#include <limits>
#include <set>
#include <span>
#include <vector>

#include "quarn/confirm.hpp"
#include "quarn/sequential_rule.hpp"

namespace quarn {

namespace {

// Window sizes of the candidate detector: a series of n values gets six
// sizes from about n / 100 (5 to 10) up to n / 8. The cost of a size grows
// with the size, the number of replicates and the number of detections, so
// the largest size and the replicates shrink on long series: sizes up to
// 5,000,000 / n (100 to 1000) and 15,000,000 / n replicates (100 to 300).
constexpr std::size_t smallest_window = 5;
constexpr std::size_t largest_low_window = 10;
constexpr std::size_t window_budget = 5'000'000;
constexpr std::size_t window_count = 6;
constexpr std::size_t replicate_budget = 15'000'000;
// The candidate detector's thresholds draw their replicates 64 at a time
// (still enough to share among the pool's threads) and stop once no
// statistic a threshold decides lies within 1.96 standard errors of it (see
// SequentialRule). On the largest windows, whose quantile level is low and
// whose statistics at a change stand far above the threshold, a round or
// two then decides as all the replicates would. At the high levels of the
// small windows the interval needs more replicates than there are; there
// the first round is judged by the replicates' upper tail instead (see
// tail_settled), and the drawing stops if every statistic decided is below
// or above where the threshold of all the replicates will be, each with a
// chance of at most 1 in 1000 of deciding otherwise. Below windows of 48
// values the replicates that judgement may save cost less than its round.
constexpr SequentialRule candidate_rounds{64, 1.96, 1e-3, 48};

}  // namespace

std::uint64_t candidate_replicates(std::size_t n) {
    return std::clamp<std::size_t>(replicate_budget / std::max<std::size_t>(n, 1), 100, 300);
}

std::vector<std::uint64_t> method_window_sizes(std::size_t n) {
    const std::size_t low =
        std::clamp<std::size_t>((n + 50) / 100, smallest_window, largest_low_window);
    const std::size_t cap =
        std::clamp<std::size_t>(window_budget / std::max<std::size_t>(n, 1), 100, 1000);
    const std::size_t high = std::min(cap, n / 8);
    if (high < low) {
        if (n >= 2 * low) return {low};
        return {};
    }
    std::set<std::uint64_t> sizes;
    const double ratio = static_cast<double>(high) / static_cast<double>(low);
    for (std::size_t i = 0; i < window_count; ++i) {
        const double exponent = static_cast<double>(i) / static_cast<double>(window_count - 1);
        sizes.insert(static_cast<std::uint64_t>(
            std::round(static_cast<double>(low) * std::pow(ratio, exponent))));
    }
    return {sizes.begin(), sizes.end()};
}

std::size_t spread_split(std::span<const double> region) {
    const std::size_t m = region.size();
    if (m < 4) return m / 2;
    double mean = 0.0;
    for (const double v : region) mean += v;
    mean /= static_cast<double>(m);
    std::vector<double> squares(m);
    double running = 0.0;
    for (std::size_t t = 0; t < m; ++t) {
        const double d = region[t] - mean;
        squares[t] = running += d * d;
    }
    const double total = squares[m - 1];
    constexpr double floor = 1e-300;
    double best = -std::numeric_limits<double>::infinity();
    std::size_t arg = 2;
    for (std::size_t k = 2; k + 1 < m; ++k) {
        const double kd = static_cast<double>(k), rest = static_cast<double>(m - k);
        const double left = squares[k - 1] / kd;
        const double right = (total - squares[k - 1]) / rest;
        const double gain =
            -kd * std::log(std::max(left, floor)) - rest * std::log(std::max(right, floor));
        if (gain > best) {
            best = gain;
            arg = k;
        }
    }
    return arg;
}

DetectorResult<std::vector<std::uint64_t>> candidate_points(const StandardValues& values,
                                                            const MethodArguments& arguments,
                                                            std::span<const std::uint64_t> sizes,
                                                            std::optional<DetectorOutput>* kept,
                                                            bool with_statistics) {
    if (sizes.empty()) return std::vector<std::uint64_t>{};
    const SeriesView series = values.view();
    MultiWindowArguments detector;
    detector.series = values.series();
    detector.standardisation = values.standardisation();
    detector.window_sizes = std::vector<std::uint64_t>(sizes.begin(), sizes.end());
    detector.n_perm = candidate_replicates(series.size());
    detector.seed = arguments.seed;
    detector.workers = arguments.workers;
    detector.control = arguments.control;
    detector.keep_starts = false;
    detector.threshold_runs = arguments.threshold_runs;
    detector.sequential = candidate_rounds;
    // The windows' consensus is the native method's answer; nothing here reads it.
    detector.with_consensus = false;
    // Nothing here reads the statistics either.
    detector.keep_statistics = kept != nullptr && with_statistics;
    auto output = detect_multi_window(detector);
    if (!output) return std::unexpected(std::move(output.error()));
    // The windows' points gathered, then sorted and made unique: 8 bytes a
    // point where a tree took some 48, beside the windows' results.
    std::size_t found = 0;
    for (const auto& [size, result] : output->window_results) {
        found += result.change_points.size() + result.localized_regions.size();
    }
    std::vector<std::uint64_t> inside;
    inside.reserve(found);
    std::vector<double> region;
    for (const auto& [size, result] : output->window_results) {
        inside.insert(inside.end(), result.change_points.begin(), result.change_points.end());
        for (const auto& [start, end] : result.localized_regions) {
            region.resize(static_cast<std::size_t>(end - start));
            series.copy(static_cast<std::size_t>(start), region.size(), region.data());
            inside.push_back(start + spread_split(region));
        }
    }
    std::sort(inside.begin(), inside.end());
    inside.erase(std::unique(inside.begin(), inside.end()), inside.end());
    std::erase_if(inside, [&](std::uint64_t p) { return p == 0 || p >= series.size(); });
    if (kept != nullptr) *kept = std::move(*output);
    return inside;
}

std::uint64_t support_votes(const WindowChangePoints& change_points, std::uint64_t position) {
    std::uint64_t votes = 0;
    for (const auto& [size, points] : change_points) {
        const std::uint64_t low = position > size ? position - size : 0;
        const auto closest = std::lower_bound(points.begin(), points.end(), low);
        if (closest != points.end() && *closest <= position + size) ++votes;
    }
    return votes;
}

}  // namespace quarn
