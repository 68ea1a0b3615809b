// How strongly the noise of a series is autocorrelated, measured on the
// residuals of a segmentation, for each score that the split tests sum.
#pragma once

#include <cstdint>
#include <span>

#include "quarn/scores.hpp"
#include "quarn/split_evidence.hpp"

namespace quarn {

// Largest lag-1 autocorrelation the factors allow: beyond it a series
// wanders too much to tell noise from signal, and the factor stays at 39.
inline constexpr double max_autocorrelation = 0.95;

// (1 + r) / (1 - r), the long-run variance of an AR(1) process with lag-1
// autocorrelation r over its variance.
double ar1_variance_ratio(double r);

// Dependence factors from the residuals of the segmentation that `cuts`
// (ascending split indices inside the series) makes: rank scores less a line
// per segment (level), squared rank deviations from the segment mean
// (spread), the fourth Legendre score less its segment mean (shape) and
// values less a line per segment (trend). Each factor comes from the lag-1
// autocorrelation pooled over segments of at least 4 values, clipped to
// [0, max_autocorrelation]. `persistence` is the level residuals' lag-1
// autocorrelation itself (clipped alike), without the seasonal lag.
//
// A seasonal lag above 1 multiplies each factor by the AR(1) ratio of the
// residuals' autocorrelation at that lag (clipped alike): the long-run
// variance of (1 - phi B)(1 - Phi B^s) e = noise over its variance.
DependenceFactors estimate_dependence(const ScoredSeries& series,
                                      std::span<const std::uint64_t> cuts,
                                      std::size_t seasonal_lag = 0);

}  // namespace quarn
