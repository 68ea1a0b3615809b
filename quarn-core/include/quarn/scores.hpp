// Transforms of a series that the change tests work on: rank scores (free of
// the values' scale and of outliers), orthonormal polynomials of them, a
// robust power-of-two scale, and a running-median winsorization.
#pragma once

#include <span>
#include <vector>

namespace quarn {

// Mid-ranks mapped into (-1/2, 1/2): the value of rank r (0-based, ties
// sharing the mean of their ranks) becomes (r + 1/2) / n - 1/2.
std::vector<double> rank_scores(std::span<const double> x);

// Orthonormal Legendre polynomial of degree 1 to 4 at a rank score u in
// (-1/2, 1/2): mean 0 and variance 1 when u is uniform.
double legendre_score(double u, int degree);

// Median of the values (the mean of the two middle ones for an even count);
// reorders `values`. NaN for an empty span.
double median_in_place(std::span<double> values);

// A power of two close to the robust spread of the series' increments:
// 1.4826 times the median absolute deviation of x[t] - x[t-1], or, when that
// is zero, the standard deviation of x, or 1. Multiplying the series by 2^k
// multiplies the result by 2^k exactly.
double robust_scale(std::span<const double> x);

// Each value pulled in to at most `limit` robust deviations from the median
// of the 2 * half + 1 values around it (fewer at the ends). The deviation is
// 1.4826 times the median distance to those running medians. Series shorter
// than one full window, or without spread, are returned unchanged.
std::vector<double> winsorize(std::span<const double> x, int half, double limit);

}  // namespace quarn
