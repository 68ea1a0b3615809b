// Least-squares lines through (t, y(t)), t = 0 .. m - 1, for callers that
// read y through a function: the trend tests, the dependence of residuals
// and the reports of slopes. One summation order everywhere, so that the
// same values give the same bits wherever a line is fitted.
#pragma once

#include <cstddef>

namespace quarn {

struct Line {
    double intercept = 0.0;  // at t = 0
    double slope = 0.0;
};

// The mean of y(0) .. y(m - 1), summed in order (m > 0).
double mean_of(std::size_t m, auto y) {
    double mean = 0.0;
    for (std::size_t t = 0; t < m; ++t) mean += y(t);
    return mean / static_cast<double>(m);
}

namespace detail {

// The slope of the line through a mean taken about the centre time.
double slope_about(std::size_t m, auto y, double mean, double centre_time) {
    double cross = 0.0, time_squares = 0.0;
    for (std::size_t t = 0; t < m; ++t) {
        const double dt = static_cast<double>(t) - centre_time;
        cross += dt * (y(t) - mean);
        time_squares += dt * dt;
    }
    return time_squares > 0.0 ? cross / time_squares : 0.0;
}

}  // namespace detail

// The least-squares line; the zero line for m = 0 and a flat one for m = 1.
Line fit_line(std::size_t m, auto y) {
    if (m == 0) return {};
    const double centre_time = (static_cast<double>(m) - 1.0) / 2.0;
    const double mean = mean_of(m, y);
    const double slope = detail::slope_about(m, y, mean, centre_time);
    return {mean - slope * centre_time, slope};
}

// The residuals of y(0) .. y(m - 1) less their least-squares line, as a
// function of t (m > 0); it reads y again, so y must outlive it.
auto less_line(std::size_t m, auto y) {
    const double centre_time = static_cast<double>(m - 1) / 2.0;
    const double mean = mean_of(m, y);
    const double slope = detail::slope_about(m, y, mean, centre_time);
    return [=](std::size_t t) {
        return (y(t) - mean) - slope * (static_cast<double>(t) - centre_time);
    };
}

}  // namespace quarn
