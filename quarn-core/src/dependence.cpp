#include "quarn/dependence.hpp"

#include <algorithm>
#include <cstddef>

#include "quarn/scores.hpp"

namespace quarn {

namespace {

// Sums of lag-1 products and of squares of centred residuals, pooled over
// segments.
struct Lag1 {
    double products = 0.0;
    double squares = 0.0;

    // Adds the m residuals e(0) .. e(m - 1), recomputed as often as needed
    // rather than stored.
    void add(std::size_t m, auto e) {
        if (m < 3) return;
        double mean = 0.0;
        for (std::size_t t = 0; t < m; ++t) mean += e(t);
        mean /= static_cast<double>(m);
        double previous = e(0) - mean;
        squares += previous * previous;
        for (std::size_t t = 1; t < m; ++t) {
            const double current = e(t) - mean;
            products += current * previous;
            squares += current * current;
            previous = current;
        }
    }

    double correlation() const {
        if (!(squares > 0.0)) return 0.0;
        return std::clamp(products / squares, 0.0, max_autocorrelation);
    }
};

double mean_of(std::size_t m, auto y) {
    double mean = 0.0;
    for (std::size_t t = 0; t < m; ++t) mean += y(t);
    return mean / static_cast<double>(m);
}

// Residuals of y(0) .. y(m - 1) less their least-squares line.
auto less_line(std::size_t m, auto y) {
    const double centre_time = static_cast<double>(m - 1) / 2.0;
    const double mean = mean_of(m, y);
    double cross = 0.0, time_squares = 0.0;
    for (std::size_t t = 0; t < m; ++t) {
        const double dt = static_cast<double>(t) - centre_time;
        cross += dt * (y(t) - mean);
        time_squares += dt * dt;
    }
    const double slope = time_squares > 0.0 ? cross / time_squares : 0.0;
    return [=](std::size_t t) {
        return (y(t) - mean) - slope * (static_cast<double>(t) - centre_time);
    };
}

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
                                      std::span<const std::uint64_t> cuts) {
    Lag1 level, spread, shape, trend;
    std::size_t begin = 0;
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
        const std::size_t end = i < cuts.size() ? static_cast<std::size_t>(cuts[i]) : series.size();
        if (end >= begin + 4) {
            const std::size_t m = end - begin;
            const auto rank = [&series, begin](std::size_t t) { return series.rank(begin + t); };
            const auto value = [&series, begin](std::size_t t) { return series.value(begin + t); };
            level.add(m, less_line(m, rank));
            const auto deviation = less_mean(m, rank);
            spread.add(m, [&](std::size_t t) {
                const double e = deviation(t);
                return e * e;
            });
            shape.add(m, less_mean(m, [&](std::size_t t) { return legendre_score(rank(t), 4); }));
            trend.add(m, less_line(m, value));
        }
        begin = end;
    }
    return {ar1_variance_ratio(level.correlation()), ar1_variance_ratio(spread.correlation()),
            ar1_variance_ratio(shape.correlation()), ar1_variance_ratio(trend.correlation())};
}

}  // namespace quarn
