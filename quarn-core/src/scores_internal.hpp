// What the sources of the scores share (mid_ranks.cpp, medians.cpp and
// scores.cpp): the polling of a stop request, the median's limits, and the
// median of generated values that keeps only the values near it.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "quarn/scores.hpp"

namespace quarn::scores_detail {

// Indices sorted or merged between two polls of a stop request.
inline constexpr std::size_t sort_step = std::size_t{1} << 16;

inline bool stop_asked(const RunControl* control) {
    return control != nullptr && control->stop_requested();
}

// Series up to this many values find their medians in a full copy; longer
// ones by a sample and a pass that keeps only the values near the median.
inline constexpr std::size_t copied_median_limit = std::size_t{1} << 21;
inline constexpr std::size_t median_sample_size = std::size_t{1} << 16;
// Sampled values on either side of the median's place in the sample that
// bracket the median: eight standard deviations of the sample median's rank
// (sqrt(2^16) / 2 = 128), and some.
inline constexpr std::size_t median_bracket = 8 * 128 + 16;

// The k-th smallest value moved to values[k] (medians.cpp); false when stopped.
bool select_in_place(std::span<double> values, std::size_t k, const RunControl* control);

// The median of n generated values, as median_in_place gives it on a copy
// of them in index order, holding about 3% of them at once: a sample of
// every (n / 2^16)-th value brackets the median; one pass counts the values
// below and on the bracket and keeps those strictly inside it, among which
// the middle ones are selected. `value_at(t)` is value t; `for_each(visit)`
// calls visit(t, value t) once for every t. Where the bracket misses (a
// series whose values the sample does not represent), a value is NaN, or
// the median is zero among zeros of both signs when `zero_sign_matters`
// (the copy's partitioning would pick one), the median comes from the copy.
// NaN when `control` asks to stop.
template <class ValueAt, class ForEach>
double streamed_median(std::size_t n, ValueAt value_at, ForEach for_each, bool zero_sign_matters,
                       const RunControl* control,
                       std::size_t copied_up_to = copied_median_limit) {
    const auto from_copy = [&] {
        std::vector<double> copy(n);
        for_each([&copy](std::size_t t, double v) { copy[t] = v; });
        return median_in_place(copy, control);
    };
    if (n <= std::max(copied_up_to, 2 * median_sample_size)) return from_copy();
    const std::size_t stride = n / median_sample_size;
    std::vector<double> sample;
    sample.reserve(n / stride + 1);
    for (std::size_t t = 0; t < n; t += stride) sample.push_back(value_at(t));
    if (std::any_of(sample.begin(), sample.end(), [](double v) { return std::isnan(v); })) {
        return from_copy();
    }
    std::sort(sample.begin(), sample.end());
    const std::size_t m = sample.size();
    const std::size_t middle = m / 2;
    const std::size_t lower_place = middle > median_bracket ? middle - median_bracket : 0;
    const std::size_t upper_place = std::min(m - 1, middle + median_bracket);
    const double low = sample[lower_place];
    const double high = sample[upper_place];
    // Values below the bracket, on its ends, and strictly inside it (kept).
    std::size_t below = 0, on_low = 0, on_high = 0, seen = 0;
    bool has_nan = false, positive_zero = false, negative_zero = false, stopped = false;
    const std::size_t inside_limit = n / 16;
    std::vector<double> inside;
    // About as many values as the sample holds strictly inside the bracket,
    // times its stride, and a margin: reserved at once, rather than grown by
    // doubling through blocks that a long series leaves resident once freed.
    inside.reserve(std::min(inside_limit, (upper_place - lower_place + 8) * stride * 9 / 8));
    for_each([&](std::size_t, double v) {
        if (stopped || has_nan) return;
        if (++seen % sort_step == 0 && stop_asked(control)) stopped = true;
        if (v == 0.0) (std::signbit(v) ? negative_zero : positive_zero) = true;
        if (v < low) {
            ++below;
        } else if (v == low) {
            ++on_low;
        } else if (v == high) {
            ++on_high;
        } else if (v < high) {
            if (inside.size() < inside_limit) inside.push_back(v);
            else has_nan = true;  // not what the sample promised: use the copy
        } else if (std::isnan(v)) {
            has_nan = true;
        }
    });
    if (stopped) return std::numeric_limits<double>::quiet_NaN();
    if (has_nan) return from_copy();
    // Value of rank k (0-based) among all; nullopt where the bracket misses.
    const auto ranked = [&](std::size_t k) -> std::optional<double> {
        if (k < below) return std::nullopt;
        k -= below;
        if (k < on_low) return low;
        k -= on_low;
        if (k < inside.size()) {
            if (!select_in_place(inside, k, control)) return std::nullopt;
            return inside[k];
        }
        k -= inside.size();
        if (k < on_high && high != low) return high;
        return std::nullopt;
    };
    const std::optional<double> upper = ranked(n / 2);
    std::optional<double> lower = upper;
    if (n % 2 == 0) lower = ranked(n / 2 - 1);
    if (stop_asked(control)) return std::numeric_limits<double>::quiet_NaN();
    if (!upper || !lower) return from_copy();
    if (zero_sign_matters && positive_zero && negative_zero && (*upper == 0.0 || *lower == 0.0)) {
        return from_copy();
    }
    if (n % 2 == 1) return *upper;
    const double sum = *lower + *upper;
    return std::isfinite(sum) ? sum / 2.0 : *lower / 2.0 + *upper / 2.0;
}

}  // namespace quarn::scores_detail
