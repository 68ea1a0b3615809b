#include "quarn/dependence.hpp"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "quarn/scores.hpp"

namespace quarn {

namespace {

// Sums of lag-1 products and of squares of centred residuals, pooled over
// segments.
struct Lag1 {
    double products = 0.0;
    double squares = 0.0;

    void add(std::vector<double>& residuals) {
        const std::size_t m = residuals.size();
        if (m < 3) return;
        double mean = 0.0;
        for (const double e : residuals) mean += e;
        mean /= static_cast<double>(m);
        for (double& e : residuals) e -= mean;
        for (std::size_t t = 1; t < m; ++t) products += residuals[t] * residuals[t - 1];
        for (const double e : residuals) squares += e * e;
    }

    double correlation() const {
        if (!(squares > 0.0)) return 0.0;
        return std::clamp(products / squares, 0.0, max_autocorrelation);
    }
};

// Residuals of y less its least-squares line (time 0 .. m-1).
void remove_line(std::vector<double>& y) {
    const std::size_t m = y.size();
    const double centre_time = static_cast<double>(m - 1) / 2.0;
    double mean = 0.0;
    for (const double v : y) mean += v;
    mean /= static_cast<double>(m);
    double cross = 0.0, time_squares = 0.0;
    for (std::size_t t = 0; t < m; ++t) {
        const double dt = static_cast<double>(t) - centre_time;
        cross += dt * (y[t] - mean);
        time_squares += dt * dt;
    }
    const double slope = time_squares > 0.0 ? cross / time_squares : 0.0;
    for (std::size_t t = 0; t < m; ++t) {
        y[t] = (y[t] - mean) - slope * (static_cast<double>(t) - centre_time);
    }
}

void remove_mean(std::vector<double>& y) {
    double mean = 0.0;
    for (const double v : y) mean += v;
    mean /= static_cast<double>(y.size());
    for (double& v : y) v -= mean;
}

}  // namespace

double ar1_variance_ratio(double r) {
    return (1.0 + r) / (1.0 - r);
}

DependenceFactors estimate_dependence(std::span<const double> ranks, std::span<const double> values,
                                      std::span<const std::uint64_t> cuts) {
    Lag1 level, spread, shape, trend;
    std::vector<double> work;
    std::size_t begin = 0;
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
        const std::size_t end = i < cuts.size() ? static_cast<std::size_t>(cuts[i]) : ranks.size();
        if (end >= begin + 4) {
            const auto part = [&](std::span<const double> y) {
                work.assign(y.begin() + static_cast<std::ptrdiff_t>(begin),
                            y.begin() + static_cast<std::ptrdiff_t>(end));
            };
            part(ranks);
            remove_line(work);
            level.add(work);
            part(ranks);
            remove_mean(work);
            for (double& e : work) e = e * e;
            spread.add(work);
            part(ranks);
            for (double& u : work) u = legendre_score(u, 4);
            remove_mean(work);
            shape.add(work);
            part(values);
            remove_line(work);
            trend.add(work);
        }
        begin = end;
    }
    return {ar1_variance_ratio(level.correlation()), ar1_variance_ratio(spread.correlation()),
            ar1_variance_ratio(shape.correlation()), ar1_variance_ratio(trend.correlation())};
}

}  // namespace quarn
