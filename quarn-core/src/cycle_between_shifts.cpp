// A cycle of fewer than 8 periods fitted around level shifts: the shifts
// its residuals show (a binary segmentation by CUSUM), its harmonics
// fitted jointly, and its period measured again by least squares.
#include "quarn/structure.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numbers>
#include <utility>
#include <vector>

#include "structure_internal.hpp"

namespace quarn {

using namespace structure_detail;

namespace {

// Level shifts a search by binary segmentation finds in r: a cut where the
// standardised CUSUM of a segment exceeds shift_cusum (in units of the
// noise's sd, read from the differences of neighbours), each side holding
// at least `shortest` values, at most max_cycle_shifts cuts, in order.
constexpr double shift_cusum = 5.0;
constexpr std::size_t max_cycle_shifts = 8;
// Rounds of fitting the cycle and finding the shifts around it, at most.
constexpr int cycle_shift_rounds = 4;

// The noise's standard deviation read from the differences of neighbours
// in x (at least 2 values): the median absolute difference of two normal
// values is 0.6745 sqrt(2) sd.
double difference_sd(std::span<const double> x) {
    std::vector<double> steps(x.size() - 1);
    for (std::size_t t = 1; t < x.size(); ++t) steps[t - 1] = std::abs(x[t] - x[t - 1]);
    const auto middle = steps.begin() + static_cast<std::ptrdiff_t>(steps.size() / 2);
    std::nth_element(steps.begin(), middle, steps.end());
    return *middle / (0.6745 * std::numbers::sqrt2);
}

}  // namespace

namespace structure_detail {

std::vector<std::size_t> cusum_shifts(std::span<const double> r, std::size_t shortest) {
    const std::size_t n = r.size();
    std::vector<std::size_t> cuts;
    if (n < 2 * shortest + 2) return cuts;
    const double sd = difference_sd(r);
    if (!(sd > 0.0)) return cuts;
    std::vector<double> prefix(n + 1, 0.0);
    for (std::size_t t = 0; t < n; ++t) prefix[t + 1] = prefix[t] + r[t];
    std::vector<std::pair<std::size_t, std::size_t>> pending{{0, n}};
    while (!pending.empty() && cuts.size() < max_cycle_shifts) {
        const auto [a, b] = pending.back();
        pending.pop_back();
        if (b - a < 2 * shortest) continue;
        const double length = static_cast<double>(b - a);
        const double total = prefix[b] - prefix[a];
        double best = 0.0;
        std::size_t at = 0;
        for (std::size_t k = a + shortest; k + shortest <= b; ++k) {
            const double left = static_cast<double>(k - a);
            const double gap = prefix[k] - prefix[a] - left / length * total;
            const double z = std::abs(gap) / (sd * std::sqrt(left * (length - left) / length));
            if (z > best) {
                best = z;
                at = k;
            }
        }
        if (best <= shift_cusum) continue;
        cuts.push_back(at);
        pending.emplace_back(a, at);
        pending.emplace_back(at, b);
    }
    std::sort(cuts.begin(), cuts.end());
    return cuts;
}

std::vector<double> less_shifts_around(std::span<const double> x, double period,
                                       std::size_t shortest) {
    const std::size_t n = x.size();
    std::vector<double> residual(n), levelled(x.begin(), x.end());
    std::vector<std::size_t> cuts;
    // Every round takes out what the last cycle leaves of the shifts: a
    // long cycle takes up part of a shift with its slow harmonics, less
    // and less as the shift is taken out.
    for (int round = 0; round < cycle_shift_rounds; ++round) {
        const SeasonalCycle cycle = fit_cycle(levelled, period);
        for (std::size_t t = 0; t < n; ++t) residual[t] = x[t] - cycle.values[t];
        cuts = cusum_shifts(residual, shortest);
        if (cuts.empty()) break;
        subtract_segment_means(residual, cuts, x, levelled);
    }
    if (cuts.empty()) return {};
    return levelled;
}

bool shifts_explain_cycle(std::span<const double> x, const SeasonalCycle& cycle,
                          HarmonicTables* tables) {
    const std::size_t n = x.size();
    const double period = cycle.period;
    if (n < min_length || !(period >= min_period) || cycle.values.size() != n) return false;
    const std::vector<std::size_t> cuts = cusum_shifts(x, min_length);
    if (cuts.empty()) return false;
    // What the shifts leave: x less each stretch's own mean.
    std::vector<double> levelled(n);
    subtract_segment_means(x, cuts, x, levelled);
    double shift_squares = 0.0;
    for (const double v : levelled) shift_squares += v * v;
    const std::vector<double> z = centred(x);
    double cycle_squares = 0.0;
    for (std::size_t t = 0; t < n; ++t) {
        const double r = z[t] - cycle.values[t];
        cycle_squares += r * r;
    }
    if (shift_squares > cycle_squares) return false;
    // What a cycle that adds nothing beyond shifts takes out beyond them is
    // about sd^2 times a chi-square variable of two degrees of freedom per
    // harmonic (fit_cycle keeps some of them only, which gives it less).
    // Its upper `chance` point (Wilson and Hilferty's cube) bounds it; a
    // cycle the series holds passes it by far, as its squares grow with
    // the length of the series.
    const double sd = difference_sd(levelled);
    const double dof = 2.0 * harmonic_count(period);
    const double z_point = 3.09;  // upper 1e-3 point of the normal
    const double cube = 1.0 - 2.0 / (9.0 * dof) + z_point * std::sqrt(2.0 / (9.0 * dof));
    const double bound = sd * sd * dof * cube * cube * cube;
    const auto squares_less_cycle = [&](std::span<const double> values) {
        const std::vector<double> centred_values = centred(values);
        const SeasonalCycle fitted = fit_cycle_on(centred_values, period, tables);
        double squares = 0.0;
        for (std::size_t t = 0; t < n; ++t) {
            const double r = centred_values[t] - fitted.values[t];
            squares += r * r;
        }
        return squares;
    };
    // The cycle beside the shifts found: where it adds to them, the cycle
    // is the series' own (a season beside a shift far larger than it).
    if (shift_squares - squares_less_cycle(levelled) > bound) return false;
    // The cycle with the shifts around it (fitted by turns, so that the
    // shifts are those the cycle leaves, not the halves of its periods that
    // a search of x alone cuts a cycle of a few periods into) against the
    // shifts alone.
    const std::vector<double> around = less_shifts_around(
        x, period, std::max<std::size_t>(min_length, static_cast<std::size_t>(period / 4.0)));
    const double both_squares = squares_less_cycle(around.empty() ? x : std::span<const double>(around));
    return shift_squares - both_squares <= bound;
}

}  // namespace structure_detail

namespace {

// Solves the m x m system a y = b in place by Gaussian elimination with
// partial pivoting (a row-major, b overwritten by y); false when singular.
bool solve_in_place(std::vector<double>& a, std::vector<double>& b, std::size_t m) {
    for (std::size_t col = 0; col < m; ++col) {
        std::size_t pivot = col;
        for (std::size_t r = col + 1; r < m; ++r) {
            if (std::abs(a[r * m + col]) > std::abs(a[pivot * m + col])) pivot = r;
        }
        if (!(std::abs(a[pivot * m + col]) > 1e-12 * std::abs(a[col * m + col]) &&
              std::abs(a[pivot * m + col]) > 0.0)) {
            return false;
        }
        if (pivot != col) {
            for (std::size_t k = 0; k < m; ++k) std::swap(a[col * m + k], a[pivot * m + k]);
            std::swap(b[col], b[pivot]);
        }
        for (std::size_t r = 0; r < m; ++r) {
            if (r == col) continue;
            const double f = a[r * m + col] / a[col * m + col];
            if (f == 0.0) continue;
            for (std::size_t k = col; k < m; ++k) a[r * m + k] -= f * a[col * m + k];
            b[r] -= f * b[col];
        }
    }
    for (std::size_t i = 0; i < m; ++i) b[i] /= a[i * m + i];
    return true;
}

// The cycle of `period` fitted to x with its harmonics (those of `kept`)
// and a mean all at once: over a few cycles that do not fill the series
// whole, the harmonics are not orthogonal, and fitted one at a time each
// would leave part of the others. Also returns each harmonic's squares.
SeasonalCycle joint_cycle(std::span<const double> x, double period, const std::vector<bool>& kept,
                          std::vector<double>* gains) {
    const std::size_t n = x.size();
    const double omega = 2.0 * std::numbers::pi / period;
    std::vector<int> orders;
    for (std::size_t k = 0; k < kept.size(); ++k) {
        if (kept[k]) orders.push_back(static_cast<int>(k) + 1);
    }
    const std::size_t m = 1 + 2 * orders.size();
    std::vector<double> gram(m * m, 0.0), right(m, 0.0), row(m);
    const auto fill = [&](std::size_t t) {
        row[0] = 1.0;
        for (std::size_t i = 0; i < orders.size(); ++i) {
            const double angle = omega * orders[i] * static_cast<double>(t);
            row[1 + 2 * i] = std::cos(angle);
            row[2 + 2 * i] = std::sin(angle);
        }
    };
    for (std::size_t t = 0; t < n; ++t) {
        fill(t);
        for (std::size_t i = 0; i < m; ++i) {
            right[i] += row[i] * x[t];
            for (std::size_t k = i; k < m; ++k) gram[i * m + k] += row[i] * row[k];
        }
    }
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t k = 0; k < i; ++k) gram[i * m + k] = gram[k * m + i];
    }
    SeasonalCycle cycle;
    cycle.period = period;
    cycle.values.assign(n, 0.0);
    if (!solve_in_place(gram, right, m)) return fit_cycle(x, period);
    double mean = 0.0;
    for (std::size_t t = 0; t < n; ++t) {
        fill(t);
        double v = 0.0;
        for (std::size_t i = 1; i < m; ++i) v += right[i] * row[i];
        cycle.values[t] = v;
        mean += v;
    }
    mean /= static_cast<double>(n);
    for (double& v : cycle.values) v -= mean;
    if (gains != nullptr) {
        gains->assign(kept.size(), 0.0);
        for (std::size_t i = 0; i < orders.size(); ++i) {
            const double a = right[1 + 2 * i], b = right[2 + 2 * i];
            (*gains)[static_cast<std::size_t>(orders[i] - 1)] =
                (a * a + b * b) * static_cast<double>(n) / 2.0;
        }
    }
    return cycle;
}

// The cycle of `period` fitted jointly, with the fundamental and every
// harmonic whose squares stand harmonic_gain residual variances high.
SeasonalCycle joint_fit_cycle(std::span<const double> x, double period) {
    const std::size_t n = x.size();
    std::vector<bool> kept(static_cast<std::size_t>(harmonic_count(period)), true);
    std::vector<double> gains;
    SeasonalCycle all = joint_cycle(x, period, kept, &gains);
    double mean = 0.0;
    for (const double v : x) mean += v;
    mean /= static_cast<double>(n);
    double squares = 0.0;
    for (std::size_t t = 0; t < n; ++t) {
        const double r = x[t] - mean - all.values[t];
        squares += r * r;
    }
    const double dof = static_cast<double>(n) - 2.0 * static_cast<double>(kept.size()) - 1.0;
    const double residual = dof > 0.0 ? squares / dof : 0.0;
    bool every = true;
    for (std::size_t k = 1; k < kept.size() && k < gains.size(); ++k) {
        kept[k] = gains[k] > harmonic_gain * residual;
        every = every && kept[k];
    }
    return every ? all : joint_cycle(x, period, kept, nullptr);
}

// Harmonics the period is measured with (jointly, so that a strong second
// or third harmonic does not pull the fundamental).
constexpr std::size_t period_harmonics = 3;

// The period within half a Fourier frequency of `period` whose first
// harmonics, fitted with a mean, explain the most of x, or the nearest
// whole number of values when that explains as much.
double least_squares_period(std::span<const double> x, double period) {
    const std::size_t n = x.size();
    const auto squares_at = [&](double p) {
        const std::vector<bool> kept(
            std::min(period_harmonics, static_cast<std::size_t>(harmonic_count(p))), true);
        double squares = 0.0;
        for (const double v : joint_cycle(x, p, kept, nullptr).values) squares += v * v;
        return squares;
    };
    const double reach = period * period / (2.0 * static_cast<double>(n));
    const auto [a, b] =
        golden_section_max(std::max(min_period, period - reach), period + reach, squares_at);
    double refined = (a + b) / 2.0;
    const double whole = std::round(refined);
    if (whole != refined && whole >= min_period && squares_at(whole) >= squares_at(refined)) {
        refined = whole;
    }
    return refined;
}

}  // namespace

SeasonalCycle fit_cycle_between_shifts(std::span<const double> x, double period) {
    const std::size_t n = x.size();
    if (n < min_length || !(period >= min_period) ||
        !(period * widen_cycles > static_cast<double>(n))) {
        return fit_cycle(x, period);
    }
    const auto shortest = std::max<std::size_t>(min_length, static_cast<std::size_t>(period / 4.0));
    std::vector<double> residual(n), levelled(x.begin(), x.end());
    std::vector<std::size_t> cuts;
    SeasonalCycle cycle;
    for (int round = 0; round < cycle_shift_rounds; ++round) {
        // The period is measured again on the values between the shifts
        // (a harmonic's period multiplied up, or a shift, pulls it).
        cycle = joint_fit_cycle(levelled, least_squares_period(levelled, period));
        for (std::size_t t = 0; t < n; ++t) residual[t] = x[t] - cycle.values[t];
        std::vector<std::size_t> found = cusum_shifts(residual, shortest);
        if (found == cuts) break;
        cuts = std::move(found);
        // x less the mean of what the cycle leaves on each side of the cuts.
        subtract_segment_means(residual, cuts, x, levelled);
    }
    return cycle;
}

}  // namespace quarn
