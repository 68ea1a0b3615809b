#include "quarn/distance.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace quarn {

std::int64_t total_order_key(double value) {
    const auto k = std::bit_cast<std::int64_t>(value);
    // Negative values: flip the 63 magnitude bits so that larger magnitudes
    // order first; positive values keep their bits.
    const auto flip = static_cast<std::int64_t>(static_cast<std::uint64_t>(k >> 63) >> 1);
    return k ^ flip;
}

bool total_less(double a, double b) { return total_order_key(a) < total_order_key(b); }

void total_order_sort(std::span<double> values) {
    const std::size_t n = values.size();
    if (n < 2) return;
    constexpr std::size_t small = 64;
    if (n > small) {
        std::sort(values.begin(), values.end(), total_less);
        return;
    }
    // Small samples (the windows and bootstrap halves) are sorted by their
    // integer order keys. The key map is its own inverse, so mapping back
    // restores the exact bits.
    std::int64_t keys[small];
    for (std::size_t i = 0; i < n; ++i) keys[i] = total_order_key(values[i]);
    std::sort(keys, keys + n);
    for (std::size_t i = 0; i < n; ++i) {
        values[i] = std::bit_cast<double>(total_order_key(std::bit_cast<double>(keys[i])));
    }
}

bool is_finite_value(double value) {
    return (std::bit_cast<std::uint64_t>(value) & 0x7fffffffffffffffULL) <= 0x7fefffffffffffffULL;
}

double wasserstein_distance(const double* x, std::size_t n, const double* y, std::size_t m) {
    const double quiet_nan = std::bit_cast<double>(0x7ff8000000000000ULL);
    if (n == 0 || m == 0) return quiet_nan;
    // The total order puts NaNs at the two ends of a sorted sample. A NaN is
    // never equal to the current value, so the merge below would never
    // consume it: report NaN instead of looping.
    if (std::isnan(x[0]) || std::isnan(x[n - 1]) || std::isnan(y[0]) || std::isnan(y[m - 1])) {
        return quiet_nan;
    }
    const double a = 1.0 / static_cast<double>(n);
    const double c = 1.0 / static_cast<double>(m);
    double prev = x[0] < y[0] ? x[0] : y[0];
    double f = 0.0;
    double g = 0.0;
    double acc = 0.0;
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < n && j < m) {
        const double t = x[i] < y[j] ? x[i] : y[j];
        acc = (t - prev) * std::fabs(f - g) + acc;
        while (i < n && x[i] == t) {
            f = f + a;
            ++i;
        }
        while (j < m && y[j] == t) {
            g = g + c;
            ++j;
        }
        prev = t;
    }
    while (i < n) {
        const double t = x[i];
        acc = (t - prev) * std::fabs(f - g) + acc;
        while (i < n && x[i] == t) {
            f = f + a;
            ++i;
        }
        prev = t;
    }
    while (j < m) {
        const double t = y[j];
        acc = (t - prev) * std::fabs(f - g) + acc;
        while (j < m && y[j] == t) {
            g = g + c;
            ++j;
        }
        prev = t;
    }
    return acc;
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
    return wasserstein_distance(sorted_left, sorted_right);
}

}  // namespace quarn
