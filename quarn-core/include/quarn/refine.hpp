// Best-split searches: CUSUM for the mean, weighted Wasserstein for variance
// and distribution, and the whole-series refinements built on them.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "quarn/error.hpp"
#include "quarn/stats.hpp"

namespace quarn {

// Split k (1 <= k <= n - 1) maximising |sum of (mean - x[i]) for i < k|.
// Needs n >= 2; ties go to the smallest k, NaN scores never win.
std::uint64_t cusum_split(std::span<const double> x);

// Split maximising W1(x[..k], x[k..]) * sqrt((n - k) * k / n), with both
// samples kept sorted incrementally. When `profile` is not empty (n values)
// entry k receives the score of split k; entry 0 is left untouched.
std::uint64_t wasserstein_split(std::span<const double> x, std::span<double> profile = {});

// CUSUM split for `mean`, Wasserstein split otherwise; needs 3 values.
Result<std::uint64_t> best_split(std::span<const double> x, ChangeType change_type);

// Whole-series entry points: validate the series (and change type), then split.
Result<std::uint64_t> swal_split(std::span<const double> series, std::string_view change_type);
Result<std::uint64_t> refine_cusum(std::span<const double> series);

struct WassersteinRefinement {
    std::uint64_t split;
    std::vector<double> profile;  // n scores, entry 0 NaN
};
Result<WassersteinRefinement> refine_wasserstein(std::span<const double> series);

}  // namespace quarn
