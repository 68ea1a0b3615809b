#include "quarn/refine.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>
#include <vector>

#include "quarn/distance.hpp"

namespace quarn {

namespace {

// Keeps the first maximum: a candidate replaces the best only when it is
// strictly greater, so ties stay with the smallest split and a NaN score
// (every comparison false) never wins.
struct BestSplit {
    double score = -std::numeric_limits<double>::infinity();
    std::uint64_t split = 1;

    void offer(double candidate, std::uint64_t k) {
        if (candidate > score) {
            score = candidate;
            split = k;
        }
    }
};

}  // namespace

std::uint64_t cusum_split(std::span<const double> x) {
    const std::size_t n = x.size();
    double total = 0.0;
    for (const double value : x) total = total + value;
    const double mean = total / static_cast<double>(n);

    BestSplit best;
    double running = 0.0;
    // The sum over all n values is zero up to rounding and is not a split.
    for (std::size_t k = 1; k < n; ++k) {
        running = running + (mean - x[k - 1]);
        best.offer(std::fabs(running), k);
    }
    return best.split;
}

std::uint64_t wasserstein_split(std::span<const double> x, std::span<double> profile) {
    const std::size_t n = x.size();
    std::vector<double> left;
    left.reserve(n);
    std::vector<double> right(x.begin(), x.end());
    total_order_sort(right);

    const double count = static_cast<double>(n);
    BestSplit best;
    for (std::size_t k = 1; k < n; ++k) {
        // Move x[k - 1] from the right sample to the left one. Values equal in
        // the total order have identical bits, so the first position not less
        // than v in the right sample holds v itself.
        const double v = x[k - 1];
        left.insert(std::lower_bound(left.begin(), left.end(), v, total_less), v);
        right.erase(std::lower_bound(right.begin(), right.end(), v, total_less));

        const double d = wasserstein_distance(left, right);
        const double weight =
            std::sqrt((static_cast<double>(n - k) * static_cast<double>(k)) / count);
        const double score = d * weight;
        if (k < profile.size()) profile[k] = score;
        best.offer(score, k);
    }
    return best.split;
}

Result<std::uint64_t> best_split(std::span<const double> x, ChangeType change_type) {
    if (x.size() < 3) return fail("need at least 3 points");
    if (change_type == ChangeType::mean) return cusum_split(x);
    return wasserstein_split(x);
}

Result<std::uint64_t> swal_split(std::span<const double> series, std::string_view change_type) {
    if (auto valid = validate_series(series); !valid) return fail(std::move(valid.error()));
    const auto parsed = parse_change_type(change_type);
    if (!parsed) return fail(parsed.error());
    return best_split(series, *parsed);
}

Result<std::uint64_t> refine_cusum(std::span<const double> series) {
    if (auto valid = validate_series(series); !valid) return fail(std::move(valid.error()));
    return cusum_split(series);
}

Result<WassersteinRefinement> refine_wasserstein(std::span<const double> series) {
    if (auto valid = validate_series(series); !valid) return fail(std::move(valid.error()));
    WassersteinRefinement refinement;
    // Entry 0 (an empty left sample) is no split and stays NaN.
    refinement.profile.assign(series.size(), std::bit_cast<double>(0x7ff8000000000000ULL));
    refinement.split = wasserstein_split(series, refinement.profile);
    return refinement;
}

}  // namespace quarn
