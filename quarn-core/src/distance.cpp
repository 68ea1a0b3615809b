#include "quarn/distance.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "quarn/merged_pass.hpp"

namespace quarn {

void total_order_sort(std::span<double> values) {
    const std::size_t n = values.size();
    if (n < 2) return;
    if (n > network_sort_limit) {
        std::sort(values.begin(), values.end(), total_less);
        return;
    }
    // The key map is its own inverse, so mapping back restores the exact bits.
    OrderKey keys[network_sort_limit];
    for (std::size_t i = 0; i < n; ++i) keys[i] = total_order_key(values[i]);
    sort_keys(keys, n);
    for (std::size_t i = 0; i < n; ++i) values[i] = key_value(keys[i]);
}

bool is_finite_value(double value) {
    return (std::bit_cast<std::uint64_t>(value) & 0x7fffffffffffffffULL) <= 0x7fefffffffffffffULL;
}

double wasserstein_distance(const double* x, std::size_t n, const double* y, std::size_t m) {
    return merged_pass_general(x, n, y, m);
}

Result<double> wasserstein_samples(std::span<const double> left, std::span<const double> right) {
    if (left.empty() || right.empty()) return fail("left and right samples must be non-empty");
    const auto all_finite = [](std::span<const double> values) {
        return std::all_of(values.begin(), values.end(), is_finite_value);
    };
    if (!all_finite(left) || !all_finite(right)) {
        return fail("samples contain NaN or infinite values");
    }
    std::vector<double> sorted_left(left.begin(), left.end());
    std::vector<double> sorted_right(right.begin(), right.end());
    total_order_sort(sorted_left);
    total_order_sort(sorted_right);
    const double distance = wasserstein_distance(sorted_left, sorted_right);
    if (std::isfinite(distance)) return distance;
    // Samples spanning more than the largest double: the gaps between
    // values overflow, and an infinite gap where both distributions agree
    // gives NaN. Halving every value is exact (but for subnormal values,
    // which cannot matter at this span) and keeps the order; the distance of
    // the halves, doubled, is the distance, infinite only when it is.
    for (double& value : sorted_left) value *= 0.5;
    for (double& value : sorted_right) value *= 0.5;
    return 2.0 * wasserstein_distance(sorted_left, sorted_right);
}

}  // namespace quarn
