// Standardisation of a series: its robust power-of-two scale, a running-
// median winsorization, and the standardised, winsorized values that the
// rank scores are taken from.
#include "quarn/scores.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "quarn/pool.hpp"
#include "scores_internal.hpp"

namespace quarn {

using namespace scores_detail;

namespace {

// The largest power of two among the doubles, 2^1023, and its exponent.
constexpr int largest_exponent = std::numeric_limits<double>::max_exponent - 1;
constexpr double largest_power_of_two = 0x1p1023;

// The middle one of five values, by a sorting network of minima and
// maxima: the same value as median_in_place gives.
double median_of_five(const double* values) {
    double v[5] = {values[0], values[1], values[2], values[3], values[4]};
    const auto order = [&v](int i, int j) {
        const double low = std::min(v[i], v[j]);
        v[j] = std::max(v[i], v[j]);
        v[i] = low;
    };
    order(0, 1);
    order(3, 4);
    order(2, 4);
    order(2, 3);
    order(0, 3);
    order(0, 2);
    order(1, 4);
    order(1, 3);
    order(1, 2);
    return v[2];
}

// The standard deviation (divisor n) of the values times 2^exponent, by
// their mean and the sum of their squared deviations from it.
double standard_deviation(std::span<const double> x, int exponent) {
    const auto value = [&](std::size_t t) {
        return exponent == 0 ? x[t] : std::ldexp(x[t], exponent);
    };
    double mean = 0.0;
    for (std::size_t t = 0; t < x.size(); ++t) mean += value(t);
    mean /= static_cast<double>(x.size());
    double squares = 0.0;
    for (std::size_t t = 0; t < x.size(); ++t) squares += (value(t) - mean) * (value(t) - mean);
    return std::sqrt(squares / static_cast<double>(x.size()));
}

// Values per piece of the standardisation's passes run side by side.
constexpr std::size_t deviation_piece = std::size_t{1} << 16;
// Shortest series whose centre and scale are found side by side: below it
// each takes less than waking a worker of the pool does.
constexpr std::size_t side_by_side_standardisation = std::size_t{1} << 16;

}  // namespace

double robust_scale(std::span<const double> x, const RunControl* control) {
    double spread = 0.0;
    if (x.size() >= 3 && x.size() - 1 <= copied_median_limit) {
        std::vector<double> steps(x.size() - 1);
        for (std::size_t t = 1; t < x.size(); ++t) steps[t - 1] = x[t] - x[t - 1];
        const double centre = median_in_place(steps, control);
        // Most increments overflowing (values swinging across the whole
        // range) leave no deviation to measure.
        if (std::isfinite(centre)) {
            for (double& step : steps) step = std::abs(step - centre);
            spread = mad_to_sd * median_in_place(steps, control);
        }
    } else if (x.size() >= 3) {
        // The same medians without a copy of the increments.
        const std::size_t count = x.size() - 1;
        const auto step = [x](std::size_t t) { return x[t + 1] - x[t]; };
        const double centre = streamed_median(
            count, step,
            [&](auto visit) {
                for (std::size_t t = 0; t < count; ++t) visit(t, step(t));
            },
            false, control);
        if (std::isfinite(centre)) {
            const auto deviation = [&](std::size_t t) { return std::abs(step(t) - centre); };
            spread = mad_to_sd * streamed_median(
                                     count, deviation,
                                     [&](auto visit) {
                                         for (std::size_t t = 0; t < count; ++t)
                                             visit(t, deviation(t));
                                     },
                                     false, control);
        }
    }
    if (!(spread > 0.0) && !x.empty()) {
        spread = standard_deviation(x, 0);
        if (!std::isfinite(spread) || spread == 0.0) {
            // The sums overflowed (values beyond about 1e154) or the squares
            // vanished (values below about 1e-154): take them again on the
            // values brought near 1 by a power of two, which is exact, and
            // scale back. Series of ordinary values never come here, except
            // constant ones, which stay at zero.
            double largest = 0.0;
            for (const double value : x) largest = std::max(largest, std::abs(value));
            int exponent = 0;
            std::frexp(largest, &exponent);
            if (std::isfinite(largest) && largest > 0.0) {
                const double scaled = standard_deviation(x, -exponent);
                if (std::isfinite(scaled) && scaled > 0.0) spread = std::ldexp(scaled, exponent);
            }
        }
    }
    if (!(spread > 0.0)) return 1.0;
    // A spread beyond the largest double: the values span most of the range.
    if (!std::isfinite(spread)) return largest_power_of_two;
    // Rounding to a power of two keeps scaled series exact under scaling by 2^k.
    int exponent = 0;
    const double mantissa = std::frexp(spread, &exponent);  // spread = mantissa * 2^exponent
    return std::ldexp(1.0, std::min(mantissa < std::sqrt(0.5) ? exponent - 1 : exponent,
                                    largest_exponent));
}

std::vector<double> winsorize(std::span<const double> x, int half, double limit) {
    const std::size_t n = x.size();
    const std::size_t width = 2 * static_cast<std::size_t>(half) + 1;
    std::vector<double> out(x.begin(), x.end());
    if (half < 0 || n < width || !(limit > 0.0)) return out;
    std::vector<double> centre(n);
    std::vector<double> window;
    window.reserve(width);
    for (std::size_t t = 0; t < n; ++t) {
        const std::size_t lo = t >= static_cast<std::size_t>(half) ? t - half : 0;
        const std::size_t hi = std::min(n, t + static_cast<std::size_t>(half) + 1);
        window.assign(x.begin() + static_cast<std::ptrdiff_t>(lo),
                      x.begin() + static_cast<std::ptrdiff_t>(hi));
        centre[t] = median_in_place(window);
    }
    std::vector<double> distance(n);
    for (std::size_t t = 0; t < n; ++t) distance[t] = std::abs(x[t] - centre[t]);
    const double spread = mad_to_sd * median_in_place(distance);
    if (!(spread > 0.0)) return out;
    const double bound = limit * spread;
    // Values within the bound stay exactly as they are.
    for (std::size_t t = 0; t < n; ++t) {
        const double deviation = x[t] - centre[t];
        if (deviation > bound) out[t] = centre[t] + bound;
        if (deviation < -bound) out[t] = centre[t] - bound;
    }
    return out;
}

StandardValues::StandardValues(std::span<const double> x, const RunControl* control) : x_(x) {
    const std::size_t n = x.size();
    if (n == 0) return;
    // The centre and the scale are independent: found side by side.
    const auto centre_or_scale = [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i != end; ++i) {
            if (i == 1) {
                standardisation_.unit = robust_scale(x, control);
                continue;
            }
            standardisation_.centre = streamed_median(
                n, [x](std::size_t t) { return x[t]; },
                [x](auto visit) {
                    for (std::size_t t = 0; t < x.size(); ++t) visit(t, x[t]);
                },
                true, control);
        }
    };
    if (n < side_by_side_standardisation) {
        centre_or_scale(0, 2);
    } else {
        parallel_pieces(std::size_t{0}, std::size_t{2}, std::size_t{1}, centre_or_scale);
    }
    if (stop_asked(control)) return;
    bool finite = true;
    for (std::size_t t = 0; t < n && finite; ++t) finite = std::isfinite(raw(t));
    if (!finite) {
        // Differences of values near the largest double overflow: divide
        // first, by a power of two above every magnitude.
        double largest = 0.0;
        for (const double v : x) largest = std::max(largest, std::abs(v));
        int exponent = 0;
        std::frexp(largest, &exponent);
        // 2^1024 is no double: values then lie within (-2, 2).
        exponent = std::min(exponent, largest_exponent);
        standardisation_.shifted = true;
        standardisation_.exponent = exponent;
        standardisation_.shifted_centre = std::ldexp(standardisation_.centre, -exponent);
        standardisation_.unit = std::ldexp(1.0, exponent);
    }

    // Winsorizing as winsorize(raw, winsor_half_width, winsor_limit) does it,
    // keeping only which values move.
    moved_.assign((n + 63) / 64, 0);
    const std::size_t width = 2 * static_cast<std::size_t>(winsor_half_width) + 1;
    if (n < width) return;
    double spread = 0.0;
    if (n <= copied_median_limit) {
        // As streamed_median takes it from a full copy, the copy filled a
        // piece at a time side by side.
        std::vector<double> copy(n);
        const auto fill = [&](std::size_t begin, std::size_t end) {
            for_each_deviation_in(begin, end, [&copy](std::size_t t, double deviation) {
                copy[t] = std::abs(deviation);
            });
        };
        parallel_pieces(std::size_t{0}, n, deviation_piece, fill);
        spread = mad_to_sd * median_in_place(copy, control);
    } else {
        spread = mad_to_sd *
                 streamed_median(
                     n, [this](std::size_t t) { return std::abs(raw(t) - running_median(t)); },
                     [this](auto visit) {
                         for_each_deviation([&visit](std::size_t t, double deviation) {
                             visit(t, std::abs(deviation));
                         });
                     },
                     false, control);
    }
    if (stop_asked(control)) return;
    if (!(spread > 0.0)) return;
    bound_ = winsor_limit * spread;
    // Pieces of whole words of the mask, each written by one piece.
    const std::size_t words = moved_.size();
    const auto mark = [&](std::size_t begin, std::size_t end) {
        const auto mark_one = [&](std::size_t t, double deviation) {
            if (deviation > bound_ || deviation < -bound_)
                moved_[t / 64] |= std::uint64_t{1} << (t % 64);
        };
        for_each_deviation_in(begin * 64, std::min(n, end * 64), mark_one);
    };
    parallel_pieces(std::size_t{0}, words, deviation_piece / 64, mark);
}

template <class Visit>
void StandardValues::for_each_deviation_in(std::size_t begin, std::size_t end, Visit visit) const {
    const std::size_t n = x_.size();
    const auto half = static_cast<std::size_t>(winsor_half_width);
    // Full windows are those of t in [half, n - half); n holds one at least.
    const std::size_t full_begin = std::max(begin, half), full_end = std::min(end, n - half);
    for (std::size_t t = begin; t < std::min(end, half); ++t) visit(t, raw(t) - running_median(t));
    if (full_begin < full_end) {
        static_assert(winsor_half_width == 2);
        double window[5] = {raw(full_begin - 2), raw(full_begin - 1), raw(full_begin),
                            raw(full_begin + 1), 0.0};
        for (std::size_t t = full_begin; t < full_end; ++t) {
            window[4] = raw(t + 2);
            visit(t, window[2] - median_of_five(window));
            for (int i = 0; i < 4; ++i) window[i] = window[i + 1];
        }
    }
    for (std::size_t t = std::max(begin, n - half); t < end; ++t) {
        visit(t, raw(t) - running_median(t));
    }
}

template <class Visit>
void StandardValues::for_each_deviation(Visit visit) const {
    // Ends, where the window is cut short.
    const std::size_t n = x_.size();
    const auto half = static_cast<std::size_t>(winsor_half_width);
    for (std::size_t t = 0; t < half; ++t) {
        visit(t, raw(t) - running_median(t));
        visit(n - half + t, raw(n - half + t) - running_median(n - half + t));
    }
    // Full windows slide along, each standardised value computed once.
    static_assert(winsor_half_width == 2);
    double window[5] = {raw(0), raw(1), raw(2), raw(3), 0.0};
    for (std::size_t t = half; t + half < n; ++t) {
        window[4] = raw(t + 2);
        visit(t, window[2] - median_of_five(window));
        for (int i = 0; i < 4; ++i) window[i] = window[i + 1];
    }
}

std::vector<double> StandardValues::raw_values() const {
    std::vector<double> out(x_.size());
    for (std::size_t t = 0; t < out.size(); ++t) out[t] = raw(t);
    return out;
}

double StandardValues::running_median(std::size_t t) const {
    const auto half = static_cast<std::size_t>(winsor_half_width);
    const std::size_t n = x_.size();
    std::array<double, 2 * winsor_half_width + 1> window;
    const std::size_t lo = t >= half ? t - half : 0;
    const std::size_t hi = std::min(n, t + half + 1);
    for (std::size_t i = lo; i < hi; ++i) window[i - lo] = raw(i);
    if (hi - lo == window.size()) return median_of_five(window.data());
    return median_in_place(std::span<double>(window.data(), hi - lo));
}

double StandardValues::winsorized(std::size_t t) const {
    const double centre = running_median(t);
    const double deviation = raw(t) - centre;
    if (deviation > bound_) return centre + bound_;
    if (deviation < -bound_) return centre - bound_;
    return raw(t);
}

ScoredSeries::ScoredSeries(StandardValues values, const RunControl* control)
    : values_(std::move(values)),
      ranks_(bucketed_doubled_mid_ranks(values_.series(), control)),
      count_(static_cast<double>(ranks_.size())) {}

}  // namespace quarn
