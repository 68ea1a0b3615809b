#include "quarn/dependence.hpp"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "quarn/line_fit.hpp"
#include "quarn/scores.hpp"

namespace quarn {

namespace {

// Sums of lag-`lag` products and of squares of centred residuals, pooled
// over segments.
struct Lagged {
    std::size_t lag = 1;
    double products = 0.0;
    double squares = 0.0;

    // Adds the m residuals e(0) .. e(m - 1), recomputed as often as needed
    // rather than stored.
    void add(std::size_t m, auto e) {
        if (m < lag + 2) return;
        double mean = 0.0;
        for (std::size_t t = 0; t < m; ++t) mean += e(t);
        mean /= static_cast<double>(m);
        if (lag == 1) {
            // The lagged residual is the one just centred.
            double previous = 0.0;
            for (std::size_t t = 0; t < m; ++t) {
                const double current = e(t) - mean;
                squares += current * current;
                if (t >= 1) products += current * previous;
                previous = current;
            }
            return;
        }
        for (std::size_t t = 0; t < m; ++t) {
            const double current = e(t) - mean;
            squares += current * current;
            if (t >= lag) products += current * (e(t - lag) - mean);
        }
    }

    double correlation() const {
        if (!(squares > 0.0)) return 0.0;
        return std::clamp(products / squares, 0.0, max_autocorrelation);
    }
};

// Longest segment whose scores are computed once and kept while its
// residuals are read (24 bytes a value).
constexpr std::size_t buffered_segment = std::size_t{1} << 16;

// Residuals of y(0) .. y(m - 1) less their mean.
auto less_mean(std::size_t m, auto y) {
    const double mean = mean_of(m, y);
    return [=](std::size_t t) { return y(t) - mean; };
}

}  // namespace

double ar1_variance_ratio(double r) {
    return (1.0 + r) / (1.0 - r);
}

DependenceFactors estimate_dependence(const ScoredSeries& series,
                                      std::span<const std::uint64_t> cuts,
                                      std::size_t seasonal_lag) {
    Lagged level, spread, shape, trend;
    Lagged level_s{seasonal_lag}, spread_s{seasonal_lag}, shape_s{seasonal_lag},
        trend_s{seasonal_lag};
    const bool seasonal = seasonal_lag > 1;
    // The residuals of one segment, from its rank scores, their fourth
    // Legendre scores and its standardised values, each read through a
    // function of the offset in the segment.
    const auto add_segment = [&](std::size_t m, auto rank, auto shape_score, auto value) {
        const auto level_e = less_line(m, rank);
        const auto deviation = less_mean(m, rank);
        const auto spread_e = [&](std::size_t t) {
            const double e = deviation(t);
            return e * e;
        };
        const auto shape_e = less_mean(m, shape_score);
        const auto trend_e = less_line(m, value);
        level.add(m, level_e);
        spread.add(m, spread_e);
        shape.add(m, shape_e);
        trend.add(m, trend_e);
        if (seasonal) {
            level_s.add(m, level_e);
            spread_s.add(m, spread_e);
            shape_s.add(m, shape_e);
            trend_s.add(m, trend_e);
        }
    };
    // Each residual reads its scores several times: a segment of at most
    // buffered_segment values has them computed once, into these.
    std::vector<double> ranks, shapes, values;
    std::size_t begin = 0;
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
        const std::size_t end = i < cuts.size() ? static_cast<std::size_t>(cuts[i]) : series.size();
        if (end >= begin + 4) {
            const std::size_t m = end - begin;
            if (m <= buffered_segment) {
                ranks.resize(m);
                shapes.resize(m);
                values.resize(m);
                for (std::size_t t = 0; t < m; ++t) {
                    ranks[t] = series.rank(begin + t);
                    shapes[t] = legendre_score(ranks[t], 4);
                    values[t] = series.value(begin + t);
                }
                add_segment(
                    m, [&ranks](std::size_t t) { return ranks[t]; },
                    [&shapes](std::size_t t) { return shapes[t]; },
                    [&values](std::size_t t) { return values[t]; });
            } else {
                const auto rank = [&series, begin](std::size_t t) { return series.rank(begin + t); };
                add_segment(
                    m, rank, [&rank](std::size_t t) { return legendre_score(rank(t), 4); },
                    [&series, begin](std::size_t t) { return series.value(begin + t); });
            }
        }
        begin = end;
    }
    // A seasonal lag multiplies in its own AR(1) factor, as for a process
    // (1 - phi B)(1 - Phi B^s) e = noise.
    const auto factor = [seasonal](const Lagged& short_lag, const Lagged& season) {
        const double f = ar1_variance_ratio(short_lag.correlation());
        return seasonal ? f * ar1_variance_ratio(season.correlation()) : f;
    };
    return {factor(level, level_s), factor(spread, spread_s), factor(shape, shape_s),
            factor(trend, trend_s), level.correlation()};
}

}  // namespace quarn
