// Total-order sort and the Wasserstein-1 distance between two sorted samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "quarn/error.hpp"
#include "quarn/total_order.hpp"

namespace quarn {

// a < b in the IEEE 754 total order (-0.0 before +0.0, NaNs at the ends).
inline bool total_less(double a, double b) {
    return total_order_key(a) < total_order_key(b);
}

// Sorts ascending in the total order, in place: small samples by a sorting
// network on their order keys, larger ones by std::sort.
void total_order_sort(std::span<double> values);

// True for values that are neither NaN nor infinite.
bool is_finite_value(double value);

// Area between the empirical distribution functions of x and y, both sorted
// ascending in the total order. NaN (quiet, 0x7ff8000000000000) when either
// sample is empty or holds a NaN. One branch-free merged pass; no
// allocation.
double wasserstein_distance(const double* x, std::size_t n, const double* y, std::size_t m);

inline double wasserstein_distance(std::span<const double> x, std::span<const double> y) {
    return wasserstein_distance(x.data(), x.size(), y.data(), y.size());
}

// Validates two raw samples (non-empty, then finite), sorts copies and
// returns their distance.
Result<double> wasserstein_samples(std::span<const double> left, std::span<const double> right);

}  // namespace quarn
