// The merged pass of the Wasserstein-1 distance, branch-free, one element
// of the merged order per step.
//
// The distance adds, for every distinct value t of the two samples in
// ascending order, (t - prev) * |F - G| to a running sum, where prev is the
// distinct value before t and F, G are the fractions of the two samples
// below t, each the repeated sum of 1/n (1/m) over the elements consumed.
// Walking the merged order one element at a time gives the same sum with
// the same additions in the same order: only the first element of a run of
// equal values opens a term, and every other element adds +0.0, which
// leaves the sum unchanged (the sum starts at +0.0 and its terms are never
// negative, so it is never -0.0). Likewise F + 0.0 == F.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "quarn/total_order.hpp"

namespace quarn {

namespace pass_detail {

inline std::uint64_t bits_of(double value) {
    return std::bit_cast<std::uint64_t>(value);
}

// `value` where `mask` is all ones, +0.0 where it is zero; integer
// operations keep compilers from turning the select into a branch.
inline double keep_if(double value, std::uint64_t mask) {
    return std::bit_cast<double>(bits_of(value) & mask);
}

inline double select(std::uint64_t mask, double if_set, double if_clear) {
    return std::bit_cast<double>((bits_of(if_set) & mask) | (bits_of(if_clear) & ~mask));
}

inline std::uint64_t mask_of(bool flag) {
    return std::uint64_t{0} - static_cast<std::uint64_t>(flag);
}

inline double quiet_nan() {
    return std::bit_cast<double>(0x7ff8000000000000ULL);
}

}  // namespace pass_detail

// Slots that follow each key sample and each step table handed to a
// merged pass of equal sizes. The first slot after a sample holds
// largest_key, the sentinel that ends it; all are read by whole-vector
// loads of the SIMD pass, so samples keep largest_key in all of them.
inline constexpr std::size_t pass_padding = 4;

// F and G as the merged pass forms them: steps[k] is 1/n added k times,
// for k = 0 ... n, followed by padding. Built once for a sample size and
// shared by every pass over samples of that size.
inline std::size_t step_table_size(std::size_t n) {
    return n + pass_padding;
}

inline void fill_step_table(std::span<double> steps, std::size_t n) {
    const double step = 1.0 / static_cast<double>(n);
    double f = 0.0;
    steps[0] = f;
    for (std::size_t k = 1; k <= n; ++k) {
        f = f + step;
        steps[k] = f;
    }
    for (std::size_t k = n + 1; k < steps.size(); ++k) steps[k] = f;
}

// Writes the sentinel and padding after a sample of n keys.
inline void pad_sample(OrderKey* keys, std::size_t n) {
    for (std::size_t k = 0; k < pass_padding; ++k) keys[n + k] = largest_key;
}

// The keys of a sample with a NaN: a negative NaN orders before -inf, a
// positive one after +inf, so a sorted sample holds them at its ends.
inline bool sorted_keys_hold_nan(const OrderKey* keys, std::size_t n) {
    constexpr OrderKey lowest = static_cast<OrderKey>(0x800fffffffffffffULL);   // key of -inf
    constexpr OrderKey highest = static_cast<OrderKey>(0x7ff0000000000000ULL);  // key of +inf
    return keys[0] < lowest || keys[n - 1] > highest;
}

// The merged pass over two samples of the same size n >= 1, given as
// ascending order keys, each followed by its padding (pad_sample); `steps`
// is the step table of n.
inline double merged_pass_portable(const OrderKey* x, const OrderKey* y, std::size_t n,
                                   const double* steps) {
    using namespace pass_detail;
    if (sorted_keys_hold_nan(x, n) || sorted_keys_hold_nan(y, n)) return quiet_nan();
    // The first term is (t - t) * |0 - 0|: +0.0, or NaN for an infinite t.
    double prev = key_value(x[0] < y[0] ? x[0] : y[0]);
    double acc = (prev - prev) * 0.0 + 0.0;
    std::size_t i = 0;
    std::size_t j = 0;
    for (std::size_t k = 0; k < 2 * n; ++k) {
        const OrderKey a = x[i];
        const OrderKey b = y[j];
        // Ties go to x; a sentinel never wins against a real key.
        const bool take_x = a <= b;
        const double t = key_value(take_x ? a : b);
        const double term = (t - prev) * std::fabs(steps[i] - steps[j]);
        acc = acc + keep_if(term, mask_of(t != prev));
        i += take_x;
        j += !take_x;
        prev = t;
    }
    return acc;
}

// The merged pass over two sorted double samples of any sizes, read within
// their bounds only; F and G are summed as the pass goes.
inline double merged_pass_general(const double* x, std::size_t n, const double* y, std::size_t m) {
    using namespace pass_detail;
    if (n == 0 || m == 0) return quiet_nan();
    // The total order puts NaNs at the two ends of a sorted sample.
    if (std::isnan(x[0]) || std::isnan(x[n - 1]) || std::isnan(y[0]) || std::isnan(y[m - 1])) {
        return quiet_nan();
    }
    const double a = 1.0 / static_cast<double>(n);
    const double c = 1.0 / static_cast<double>(m);
    double prev = x[0] < y[0] ? x[0] : y[0];
    double f = 0.0;
    double g = 0.0;
    double acc = (prev - prev) * 0.0 + 0.0;
    std::size_t i = 0;
    std::size_t j = 0;
    for (std::size_t k = 0; k < n + m; ++k) {
        // Clamped reads; once a sample is used up the other one is taken.
        const double xi = x[i < n ? i : n - 1];
        const double yj = y[j < m ? j : m - 1];
        const bool take_x = (j == m) | ((i < n) & (xi <= yj));
        const std::uint64_t take_mask = mask_of(take_x);
        const double t = select(take_mask, xi, yj);
        const double term = (t - prev) * std::fabs(f - g);
        acc = acc + keep_if(term, mask_of(t != prev));
        f = f + keep_if(a, take_mask);
        g = g + keep_if(c, ~take_mask);
        i += take_x;
        j += !take_x;
        prev = t;
    }
    return acc;
}

}  // namespace quarn
