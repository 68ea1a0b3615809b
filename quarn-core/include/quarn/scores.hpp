// Transforms of a series that the change tests work on: rank scores (free of
// the values' scale and of outliers), orthonormal polynomials of them, a
// robust power-of-two scale, and a running-median winsorization.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <vector>

#include "quarn/control.hpp"
#include "quarn/packed_ranks.hpp"
#include "quarn/series_view.hpp"

namespace quarn {

// Mid-ranks mapped into (-1/2, 1/2): the value of rank r (0-based, ties
// sharing the mean of their ranks) becomes (r + 1/2) / n - 1/2.
std::vector<double> rank_scores(std::span<const double> x);

// Longest series whose doubled mid-ranks fit in 32 bits.
inline constexpr std::size_t max_ranked_length = std::size_t{1} << 31;

// Twice the mid-rank of every value (0-based, ties sharing the mean of their
// ranks), exact in 4 bytes per value. At most max_ranked_length values.
// A `control` that asks to stop ends the work early with an empty result,
// within a few milliseconds.
std::vector<std::uint32_t> doubled_mid_ranks(std::span<const double> x,
                                             const RunControl* control = nullptr);

// The same, packed in PackedRanks::bits_for(x.size()) bits a value (25 up
// to 2^24 values); empty when `control` asks to stop.
PackedRanks packed_doubled_mid_ranks(std::span<const double> x,
                                     const RunControl* control = nullptr);

// From this many values on, the method keeps the ranks in buckets of
// rank_bucket values (see BucketedRanks): 13 bits a value where the whole
// ranks would take 26 or more, for a search among some 2^12 bounds per read.
inline constexpr std::size_t rank_buckets_from = (std::size_t{1} << 24) + 1;
inline constexpr std::size_t rank_bucket = std::size_t{1} << 12;

// The doubled mid-ranks as BucketedRanks: in buckets of `bucket` values from
// `bucketed_from` values on (whole ranks below, and on a series with a NaN);
// empty when `control` asks to stop.
BucketedRanks bucketed_doubled_mid_ranks(std::span<const double> x,
                                         const RunControl* control = nullptr,
                                         std::size_t bucketed_from = rank_buckets_from,
                                         std::size_t bucket = rank_bucket);

// The rank score of a doubled mid-rank among n values, as rank_scores gives it.
inline double rank_score_of(std::uint32_t doubled_rank, double n) {
    const double mid_rank = static_cast<double>(doubled_rank) / 2.0;
    return (mid_rank + 0.5) / n - 0.5;
}

// Orthonormal Legendre polynomial of degree 1 to 4 at a rank score u in
// (-1/2, 1/2): mean 0 and variance 1 when u is uniform.
inline double legendre_score(double u, int degree) {
    const double v = 2.0 * u;
    switch (degree) {
        case 1:
            return std::sqrt(3.0) * v;
        case 2:
            return std::sqrt(5.0) * (1.5 * v * v - 0.5);
        case 3:
            return std::sqrt(7.0) * (2.5 * v * v * v - 1.5 * v);
        default:
            return 3.0 * (35.0 * v * v * v * v - 30.0 * v * v + 3.0) / 8.0;
    }
}

// Median of the values (the mean of the two middle ones for an even count,
// finite for finite values); reorders `values`. NaN for an empty span, and
// when `control` asks to stop before the median is found.
double median_in_place(std::span<double> values, const RunControl* control = nullptr);

// 1 / Phi^-1(3/4): the median absolute deviation of Gaussian noise times
// this is its standard deviation.
inline constexpr double mad_to_sd = 1.4826;

// The median of the n values value_at(0), ..., value_at(n - 1), as
// median_in_place gives it on a copy of them in index order, but above 2^21
// values without the copy: a sample brackets the median and one pass keeps
// the values inside the bracket (about 3%). `keep_zero_sign` asks for the
// sign of a zero median as the copy's partitioning would leave it (it then
// takes the copy where zeros of both signs meet at the median). NaN when
// `control` asks to stop.
double median_of(std::size_t n, const std::function<double(std::size_t)>& value_at,
                 bool keep_zero_sign, const RunControl* control = nullptr);
// The same, without the copy above `copied_up_to` values instead of 2^21
// (from 2^17 up at least): for callers whose copies of long stretches would
// add to the peak of a long series.
double median_of(std::size_t n, const std::function<double(std::size_t)>& value_at,
                 bool keep_zero_sign, const RunControl* control, std::size_t copied_up_to);

// A power of two close to the robust spread of the series' increments:
// 1.4826 times the median absolute deviation of x[t] - x[t-1], or, when that
// is zero, the standard deviation of x, or 1. Multiplying the series by 2^k
// multiplies the result by 2^k exactly. A `control` that asks to stop
// makes the result meaningless, for a caller that checks it.
double robust_scale(std::span<const double> x, const RunControl* control = nullptr);

// Each value pulled in to at most `limit` robust deviations from the median
// of the 2 * half + 1 values around it (fewer at the ends). The deviation is
// 1.4826 times the median distance to those running medians. Series shorter
// than one full window, or without spread, are returned unchanged.
std::vector<double> winsorize(std::span<const double> x, int half, double limit);

// Outliers are pulled in to this many robust deviations from the median of
// the 2 * half + 1 values around them.
inline constexpr int winsor_half_width = 2;
inline constexpr double winsor_limit = 3.0;

// The values the change tests fit lines to, without a copy of the series:
// x centred on its median and divided by a power-of-two robust scale, then
// winsorized (winsor_half_width, winsor_limit). Each value is recomputed from
// x when asked for, bit for bit as the vectors of those steps would hold it;
// one bit per value marks the values that winsorizing moves. `x` must
// outlive this object.
class StandardValues {
  public:
    // A `control` that asks to stop leaves the object unfinished, to be
    // dropped: its caller checks the control once it returns.
    explicit StandardValues(std::span<const double> x, const RunControl* control = nullptr);

    std::size_t size() const { return x_.size(); }
    std::span<const double> series() const { return x_; }
    // The standardised values are (x - centre) / unit.
    double unit() const { return standardisation_.unit; }
    const Standardisation& standardisation() const { return standardisation_; }
    // The standardised values, computed as they are read.
    SeriesView view() const { return SeriesView(x_, standardisation_); }

    // Standardised value t.
    double raw(std::size_t t) const { return standardisation_(x_[t]); }
    // Winsorized standardised value t.
    double value(std::size_t t) const {
        if ((moved_[t / 64] >> (t % 64) & 1U) == 0) return raw(t);
        return winsorized(t);
    }
    // All standardised values.
    std::vector<double> raw_values() const;

  private:
    double running_median(std::size_t t) const;
    // Calls visit(t, raw(t) - running_median(t)) for every t, in no set order.
    template <class Visit>
    void for_each_deviation(Visit visit) const;
    // The same for every t in [begin, end), in index order.
    template <class Visit>
    void for_each_deviation_in(std::size_t begin, std::size_t end, Visit visit) const;
    double winsorized(std::size_t t) const;

    std::span<const double> x_;
    // Values near the largest double would overflow (x - centre): they are
    // then divided by 2^exponent first, and so is the centre (shifted).
    Standardisation standardisation_;
    double bound_ = std::numeric_limits<double>::infinity();
    std::vector<std::uint64_t> moved_;
};

// A series as the change tests see it: its standardised, winsorized values
// and the rank scores of its values, packed in 25 bits a value up to 2^24
// values (24 up to 2^23, ...) and kept in buckets beyond (13 bits a value
// at rank_bucket), plus the series.
class ScoredSeries {
  public:
    // A `control` that asks to stop leaves the object unfinished, to be
    // dropped.
    explicit ScoredSeries(StandardValues values, const RunControl* control = nullptr);
    explicit ScoredSeries(std::span<const double> x) : ScoredSeries(StandardValues(x)) {}

    std::size_t size() const { return ranks_.size(); }
    // The standardised, winsorized values the scores were taken from.
    const StandardValues& values() const { return values_; }
    double rank(std::size_t t) const {
        return rank_score_of(ranks_.at(t, values_.series()[t]), count_);
    }
    double raw(std::size_t t) const { return values_.raw(t); }
    double value(std::size_t t) const { return values_.value(t); }

  private:
    StandardValues values_;
    BucketedRanks ranks_;
    double count_;
};

}  // namespace quarn
