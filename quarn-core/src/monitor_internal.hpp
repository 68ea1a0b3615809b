// What the parts of the monitor share (monitor_options.cpp,
// monitor_state.cpp, monitor_learn.cpp, monitor_update.cpp): the finite
// clamp, a residual's place in the sorted reference and the raw scores of
// a place, and the figures that follow from the options.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "quarn/monitor.hpp"

namespace quarn::monitor_detail {

inline constexpr double kHuge = std::numeric_limits<double>::max();

// The value within the finite doubles (NaN stays NaN); no branches.
inline double clamp_finite(double value) { return std::min(std::max(value, -kHuge), kHuge); }

// Buckets of the reference's range searched for a residual's place, and
// the most reference values of one bucket compared one by one.
inline constexpr std::size_t kBuckets = 2048;
inline constexpr std::size_t kScanned = 4;

// Conversions of indices (far below 2^53) and of non-negative doubles below
// 2^63, through signed integers: the same results as through std::size_t,
// in one instruction.
inline double to_double(std::size_t index) {
    return static_cast<double>(static_cast<std::int64_t>(index));
}
inline std::int64_t to_int(double value) { return static_cast<std::int64_t>(value); }

// The sorted reference and its bucket table, which narrows the search of a
// residual's place to the few reference values of the residual's bucket
// (exact because the bucket of a value never decreases as the value grows).
struct Lookup {
    const double* reference;  // m sorted values
    const double* padded;     // the same, then kScanned times +infinity
    const std::uint32_t* buckets;  // kBuckets + 2 entries; null: binary search
    std::size_t m;
    double low;    // the reference's smallest value
    double scale;  // buckets per unit

    // The number of reference values under the residual.
    std::size_t below(double residual) const {
        if (!buckets) {
            return static_cast<std::size_t>(std::lower_bound(reference, reference + m, residual) -
                                            reference);
        }
        if (residual < low) return 0;
        const double scaled = (residual - low) * scale;  // >= 0
        const std::size_t bucket = scaled >= static_cast<double>(kBuckets)
                                       ? kBuckets
                                       : static_cast<std::size_t>(to_int(scaled));
        const std::size_t first = buckets[bucket];
        const std::size_t last = buckets[bucket + 1];
        if (last - first > kScanned) {
            return static_cast<std::size_t>(
                std::lower_bound(reference + first, reference + last, residual) - reference);
        }
        // A fixed count of comparisons: the reference from `last` on (and
        // the padding) is above the residual, so they add nothing.
        const double* values = padded + first;
        std::size_t under = 0;
        for (std::size_t j = 0; j < kScanned; ++j) under += values[j] < residual;
        return first + under;
    }

    // A residual's place in the sorted reference: a fractional index from 0
    // to m - 1, linear between neighbouring reference values, mid-rank on
    // ties.
    double place(double residual) const { return place(residual, below(residual)); }
    // The same, given the number of reference values under the residual.
    double place(double residual, std::size_t under) const {
        if (under < m && reference[under] == residual) [[unlikely]] {
            const double* last = std::upper_bound(reference + under, reference + m, residual);
            const std::size_t equal = static_cast<std::size_t>(last - (reference + under));
            return to_double(under) + to_double(equal - 1) * 0.5;
        }
        if (under == 0) [[unlikely]] return 0.0;
        if (under == m) [[unlikely]] return to_double(m - 1);
        const double lower = reference[under - 1];
        const double upper = reference[under];
        double fraction = (residual - lower) / (upper - lower);
        if (!(fraction >= 0.0)) fraction = 0.0;
        if (fraction > 1.0) fraction = 1.0;
        return to_double(under - 1) + fraction;
    }
};

inline Lookup lookup_of(const std::vector<double>& reference, const std::vector<double>& padded,
                 const std::vector<std::uint32_t>& buckets, double low, double scale) {
    return Lookup{reference.data(), padded.data(), buckets.empty() ? nullptr : buckets.data(),
                  reference.size(), low, scale};
}

// The normal score of a place, linear between the knots.
inline double knot_score(const double* knot_scores, std::size_t m, double place) {
    const std::size_t at = static_cast<std::size_t>(to_int(place));  // place >= 0
    const double fraction = place - to_double(at);
    double q = knot_scores[at];
    if (fraction > 0.0 && at + 1 < m) q += fraction * (knot_scores[at + 1] - q);
    return q;
}

// The other raw scores of a place and its normal score q: q squared, and
// the orthonormal Legendre scores of order 3 and 4 of the rank. Plain
// arithmetic, which a compiler may run on several places at once.
inline void rank_scores(double place, double q, double inverse_m, double& spread, double& skew,
                        double& tails) {
    const double u = (place + 0.5) * inverse_m;
    const double x = 2.0 * u - 1.0;
    const double x2 = x * x;
    spread = q * q;
    skew = 1.3228756555322952 * (5.0 * x2 - 3.0) * x;  // sqrt(7) / 2 * (5x^3 - 3x)
    tails = 0.375 * ((35.0 * x2 - 30.0) * x2 + 3.0);   // 3 / 8 * (35x^4 - 30x^2 + 3)
}

// The four raw scores of a place: normal score, its square, and the
// orthonormal Legendre scores of order 3 and 4 of the rank.
// `inverse_m` is 1 / m for the m knot scores.
inline void place_scores(const double* knot_scores, std::size_t m, double inverse_m, double place,
                         double scores[4]) {
    scores[0] = knot_score(knot_scores, m, place);
    rank_scores(place, scores[0], inverse_m, scores[1], scores[2], scores[3]);
}

// The thresholds of the CUSUMs for a false-alarm run (monitor_options.cpp).
std::vector<double> thresholds_for(const MonitorOptions& options);

// The longest seasonal period a warm-up is searched for: max_period, or
// less when the warm-up would hold too few such periods (monitor_options.cpp).
std::uint64_t effective_max_period(const MonitorOptions& options);

}  // namespace quarn::monitor_detail
