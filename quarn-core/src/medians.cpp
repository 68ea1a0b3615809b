// Medians: a selection polling a stop request, a branch-free one for
// values without zeros or NaN, and the median of generated values.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <functional>
#include <limits>
#include <utility>

#include "quarn/scores.hpp"
#include "scores_internal.hpp"

namespace quarn {

using namespace scores_detail;

namespace scores_detail {

// Moves the k-th smallest of the values to values[k], with no larger one
// before it and no smaller one after it, as std::nth_element does: three-way
// partitions around a median of three, polling `control` before each, until
// the range holding k is short or ends on values equal to the pivot. Long
// runs of poor pivots hand the rest to std::nth_element. The k-th smallest
// value, and the largest before it, do not depend on how the values are
// partitioned. Returns false when stopped.
bool select_in_place(std::span<double> values, std::size_t k, const RunControl* control) {
    std::size_t lo = 0, hi = values.size();
    int passes_left = 2 * static_cast<int>(std::bit_width(values.size())) + 8;
    while (hi - lo > sort_step && passes_left-- > 0) {
        if (stop_asked(control)) return false;
        const double a = values[lo], b = values[lo + (hi - lo) / 2], c = values[hi - 1];
        const double pivot = std::max(std::min(a, b), std::min(std::max(a, b), c));
        std::size_t less = lo, i = lo, greater = hi;
        while (i < greater) {
            if (values[i] < pivot) {
                std::swap(values[less++], values[i++]);
            } else if (values[i] > pivot) {
                std::swap(values[i], values[--greater]);
            } else {
                ++i;
            }
        }
        if (k < less) {
            hi = less;
        } else if (k >= greater) {
            lo = greater;
        } else {
            return true;  // values[k] equals the pivot
        }
    }
    const auto begin = values.begin();
    std::nth_element(begin + static_cast<std::ptrdiff_t>(lo),
                     begin + static_cast<std::ptrdiff_t>(k),
                     begin + static_cast<std::ptrdiff_t>(hi));
    return true;
}

}  // namespace scores_detail

namespace {

// Ranges this short are left to std::nth_element by branchless_select.
constexpr std::size_t branchless_least = 32;

// select_in_place's result for values none of which is zero or NaN, by
// partitions without branches on the values (whose outcomes a branch
// predicts no better than a coin on values in random order): values below
// a median of three are moved before the others, then, among those, the
// values equal to it before the larger ones. Without zeros of two signs
// or NaN, values equal in value have the same bits, so the k-th smallest
// value, and the largest before it, are the ones any selection finds.
// Long runs of poor pivots hand the rest to std::nth_element.
void branchless_select(std::span<double> values, std::size_t k) {
    std::size_t lo = 0, hi = values.size();
    int passes_left = 2 * static_cast<int>(std::bit_width(values.size())) + 8;
    double* v = values.data();
    // Moves the values of [from, to) for which `before` holds ahead of the
    // others (each swap done whether needed or not); returns where the
    // others begin.
    const auto partition = [v](std::size_t from, std::size_t to, auto before) {
        std::size_t store = from;
        for (std::size_t i = from; i < to; ++i) {
            const double value = v[i];
            const bool ahead = before(value);
            v[i] = v[store];
            v[store] = value;
            store += ahead ? 1 : 0;
        }
        return store;
    };
    while (hi - lo > branchless_least && passes_left-- > 0) {
        const double a = v[lo], b = v[lo + (hi - lo) / 2], c = v[hi - 1];
        const double pivot = std::max(std::min(a, b), std::min(std::max(a, b), c));
        const std::size_t less = partition(lo, hi, [pivot](double x) { return x < pivot; });
        if (k < less) {
            hi = less;
            continue;
        }
        const std::size_t greater = partition(less, hi, [pivot](double x) { return x <= pivot; });
        if (k < greater) return;  // values[k] equals the pivot
        lo = greater;
    }
    std::nth_element(v + lo, v + k, v + hi);
}

}  // namespace

double median_in_place(std::span<double> values, const RunControl* control) {
    const std::size_t n = values.size();
    if (n == 0) return std::numeric_limits<double>::quiet_NaN();
    // Where select_in_place would hand the whole range to std::nth_element
    // (no control is polled), values without zeros or NaN are selected
    // without branches: the same median, bit for bit, in about a third of
    // the time on values in random order.
    bool plain = n <= sort_step;
    for (std::size_t t = 0; t < n && plain; t += 256) {
        bool clean = true;
        for (std::size_t i = t; i < std::min(n, t + 256); ++i) {
            clean &= values[i] != 0.0 && values[i] == values[i];
        }
        plain = clean;
    }
    if (plain) {
        branchless_select(values, n / 2);
    } else if (!select_in_place(values, n / 2, control)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(n / 2);
    if (n % 2 == 1) return *middle;
    const double upper = *middle;
    const double lower = *std::max_element(values.begin(), middle);
    const double sum = lower + upper;
    // Halving first keeps the mean of two values near the largest double
    // finite; otherwise both forms give the same bits.
    return std::isfinite(sum) ? sum / 2.0 : lower / 2.0 + upper / 2.0;
}

double median_of(std::size_t n, const std::function<double(std::size_t)>& value_at,
                 bool keep_zero_sign, const RunControl* control) {
    return median_of(n, value_at, keep_zero_sign, control, copied_median_limit);
}

double median_of(std::size_t n, const std::function<double(std::size_t)>& value_at,
                 bool keep_zero_sign, const RunControl* control, std::size_t copied_up_to) {
    return streamed_median(
        n, value_at,
        [&](auto visit) {
            for (std::size_t t = 0; t < n; ++t) visit(t, value_at(t));
        },
        keep_zero_sign, control, copied_up_to);
}

}  // namespace quarn
