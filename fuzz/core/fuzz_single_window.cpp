// The single-window sweep with small numbers of replicates.
//
// Invariants: the only failures are the block-length and taper messages;
// starts, statistics and thresholds have one entry per position (n / w - 1),
// starts are v * w, statistics are the window statistics, a threshold is
// carried unchanged after a position that was not significant and is NaN
// everywhere without replicates; the regions are exactly the merged
// significant positions, on multiples of w, two or three windows long; every
// change point is the best split of its region, strictly inside it; and a
// second call gives the same result bit for bit.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_input.hpp"
#include "quarn/bootstrap.hpp"
#include "quarn/single_window.hpp"
#include "quarn/refine.hpp"
#include "quarn/stats.hpp"

namespace {

using fuzz::bits;
using fuzz::Input;

std::vector<double> structured_series(Input& in) {
    const std::size_t n = 3 + in.below(198);
    std::vector<double> x(n);
    if (in.flag()) {
        for (double& v : x) v = in.value(true);
        return x;
    }
    const std::size_t levels = 1 + in.below(8);
    std::vector<double> level(levels);
    for (double& v : level) v = static_cast<double>(static_cast<int>(in.byte() % 41) - 20);
    static constexpr double scales[] = {0.0, 0.01, 0.1, 1.0, 10.0, 1e150};
    const double scale = scales[in.below(std::size(scales))];
    const std::size_t width = std::max<std::size_t>(1, n / levels);
    for (std::size_t i = 0; i < n; ++i) {
        const double noise = static_cast<double>(static_cast<int>((in.byte() * 37u + i * 11u) % 17u) - 8) / 8.0;
        x[i] = level[std::min(i / width, levels - 1)] + noise * scale;
    }
    return x;
}

bool same_result(const quarn::WindowResult& a, const quarn::WindowResult& b) {
    const auto same_floats = [](const std::vector<double>& p, const std::vector<double>& q) {
        return p.size() == q.size() &&
               std::equal(p.begin(), p.end(), q.begin(),
                          [](double x, double y) { return bits(x) == bits(y); });
    };
    return a.window_size == b.window_size && a.change_points == b.change_points &&
           a.starts == b.starts && same_floats(a.statistics, b.statistics) &&
           same_floats(a.tapered_block_bootstrap_threshold, b.tapered_block_bootstrap_threshold) &&
           a.localized_regions == b.localized_regions;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const std::vector<double> series = structured_series(in);
    static constexpr std::uint64_t sizes[] = {1, 2, 3, 4, 5, 6, 7, 8, 10, 12, 16, 20, 32, 33, 0,
                                              101, 1ULL << 40, ~0ULL};
    const std::uint64_t w = in.below(4) == 0 ? sizes[in.below(std::size(sizes))] : 2 + in.below(12);

    quarn::DetectorSettings settings;
    settings.n_perm = in.below(8) == 0 ? 60 + in.below(41) : in.below(24);
    static constexpr double alphas[] = {1.0, 0.05, 0.5, 0.0, -1.0, 5.0, 100.0, 1e300,
                                        std::numeric_limits<double>::quiet_NaN(),
                                        std::numeric_limits<double>::infinity(),
                                        -std::numeric_limits<double>::infinity()};
    settings.percent = quarn::percent_from_alpha(alphas[in.below(std::size(alphas))]);
    settings.seed = in.bytes(8);
    settings.change_type = static_cast<quarn::ChangeType>(in.below(3));
    const std::uint8_t b_kind = in.byte() % 4;
    if (b_kind == 1) settings.b = in.below(70);
    if (b_kind == 2) settings.b = ~0ULL - in.below(3);
    static constexpr double ratios[] = {0.5, 0.0, 1.0, 0.25, 2.0, 2.5, 3.0, -1.0, 1e300,
                                        std::numeric_limits<double>::quiet_NaN(),
                                        std::numeric_limits<double>::infinity()};
    settings.taper_ratio = ratios[in.below(std::size(ratios))];
    settings.center = in.flag();

    FUZZ_CHECK(quarn::validate_series(series).has_value(), "generated series is invalid");
    const quarn::PrefixSums prefix = quarn::PrefixSums::build(series);
    const auto result = quarn::detect_single_window(series, prefix, w, settings);
    const auto again = quarn::detect_single_window(series, prefix, w, settings);
    FUZZ_CHECK(result.has_value() == again.has_value(), "success changed on a second call");
    if (!result) {
        const std::string& message = result.error();
        FUZZ_CHECK(message == "reference series is shorter than block length" ||
                       message.starts_with("taper_ratio too large"),
                   "unexpected failure: %s", message.c_str());
        FUZZ_CHECK(message == again.error(), "message changed on a second call");
        return 0;
    }
    FUZZ_CHECK(same_result(*result, *again), "result changed on a second call");

    const quarn::WindowResult& r = *result;
    const std::size_t n = series.size();
    const std::uint64_t positions = (w == 0 || n / w < 2) ? 0 : n / w - 1;
    FUZZ_CHECK(r.window_size == w, "window_size field");
    FUZZ_CHECK(r.starts.size() == positions && r.statistics.size() == positions &&
                   r.tapered_block_bootstrap_threshold.size() == positions,
               "%zu/%zu/%zu entries for %llu positions", r.starts.size(), r.statistics.size(),
               r.tapered_block_bootstrap_threshold.size(),
               static_cast<unsigned long long>(positions));
    FUZZ_CHECK(r.change_points.size() == r.localized_regions.size(),
               "%zu change points for %zu regions", r.change_points.size(),
               r.localized_regions.size());

    std::vector<std::uint64_t> significant;
    for (std::uint64_t v = 0; v < positions; ++v) {
        FUZZ_CHECK(r.starts[v] == v * w, "start of position %llu", static_cast<unsigned long long>(v));
        const double stat = quarn::window_statistic(series, v, w);
        FUZZ_CHECK(bits(stat) == bits(r.statistics[v]), "statistic of position %llu: %a vs %a",
                   static_cast<unsigned long long>(v), r.statistics[v], stat);
        const double threshold = r.tapered_block_bootstrap_threshold[v];
        FUZZ_CHECK(std::isnan(threshold) || threshold >= 0.0, "negative threshold %a", threshold);
        if (settings.n_perm == 0) FUZZ_CHECK(std::isnan(threshold), "threshold without replicates");
        if (v > 0 && (significant.empty() || significant.back() != v - 1)) {
            FUZZ_CHECK(bits(threshold) == bits(r.tapered_block_bootstrap_threshold[v - 1]),
                       "threshold not carried to position %llu", static_cast<unsigned long long>(v));
        }
        if (r.statistics[v] > threshold) significant.push_back(v);
    }

    // Merge the significant positions again; at most one following position
    // joins a region.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> regions;
    for (std::size_t i = 0; i < significant.size(); ++i) {
        const std::uint64_t first = significant[i];
        std::uint64_t last = first;
        if (i + 1 < significant.size() && significant[i + 1] == first + 1) last = significant[++i];
        regions.emplace_back(first * w, (last + 2) * w);
    }
    FUZZ_CHECK(regions == r.localized_regions, "regions are not the merged significant positions");
    for (std::size_t i = 0; i < regions.size(); ++i) {
        const auto [start, end] = regions[i];
        FUZZ_CHECK(end <= n && (end - start == 2 * w || end - start == 3 * w), "region span");
        const std::uint64_t point = r.change_points[i];
        FUZZ_CHECK(start < point && point < end, "change point %llu outside (%llu, %llu)",
                   static_cast<unsigned long long>(point), static_cast<unsigned long long>(start),
                   static_cast<unsigned long long>(end));
        const auto split = quarn::best_split(
            std::span<const double>(series).subspan(start, end - start), settings.change_type);
        FUZZ_CHECK(split && start + *split == point, "change point is not the region's best split");
    }
    return 0;
}
