#include "quarn/split_evidence.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "quarn/scores.hpp"

namespace quarn {

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

// Constant of the scan over short sides. The continuous-time theory gives
// about 1 for a search over every stretch; the selection only visits the
// detector's candidates, and this value keeps the family-wise false-alarm
// rate of the whole selection at or below the level asked on Gaussian noise.
constexpr double scan_constant = 0.01;
// Shortest side of a split inside a stretch that the search over splits
// counts.
constexpr double shortest_side = 3.0;
// No side of a tested split is shorter than this.
constexpr std::size_t min_side = 3;
// The means of spread and shape scores are skewed: their normal
// approximation needs longer sides. Lines need a few points each.
constexpr std::size_t min_side_spread = 8;
constexpr std::size_t min_side_shape = 25;
constexpr std::size_t min_side_trend = 5;
// A side enters the trend check when it holds at least this many values,
// and counts as trending when its slope is this many standard errors
// (normal scale, widened to Student's t for the side's length) from 0.
constexpr std::size_t trend_check_side = 5;
constexpr double trend_z = 3.0;
// Two standardised differences this close to 0 count as no difference.
constexpr double no_difference = 1e-12;

double evaluate_polynomial(const double* coefficients, int count, double r) {
    double value = coefficients[0];
    for (int i = 1; i < count; ++i) value = value * r + coefficients[i];
    return value;
}

}  // namespace

double scan_tail(double z, std::size_t n1, std::size_t n2, std::size_t n) {
    if (!std::isfinite(z)) return z > 0 ? 0.0 : 1.0;
    if (!(z > 0.0)) return 1.0;
    const double m = static_cast<double>(n1 + n2);
    const double length = static_cast<double>(n1 * n2) / m;
    const double total = static_cast<double>(n);
    const double phi = std::exp(-0.5 * z * z) / std::sqrt(2.0 * std::numbers::pi);
    const double point = std::erfc(z / std::numbers::sqrt2);
    const double span = std::log(std::max(m / shortest_side, 1.0));
    const double p = point + 2.0 * z * phi * span * (total / m) +
                     scan_constant * total / length * std::pow(z, 3.0) * phi;
    return std::min(1.0, p);
}

double normal_upper_quantile(double p) {
    if (!(p > 0.0)) return infinity;
    if (p >= 0.5) return 0.0;
    // Lower quantile of p by Wichura's algorithm AS 241 (PPND16), negated.
    static constexpr double a[] = {2.5090809287301226727e+3, 3.3430575583588128105e+4,
                                   6.7265770927008700853e+4, 4.5921953931549871457e+4,
                                   1.3731693765509461125e+4, 1.9715909503065514427e+3,
                                   1.3314166789178437745e+2, 3.3871328727963666080e+0};
    static constexpr double b[] = {5.2264952788528545610e+3, 2.8729085735721942674e+4,
                                   3.9307895800092710610e+4, 2.1213794301586595867e+4,
                                   5.3941960214247511077e+3, 6.8718700749205790830e+2,
                                   4.2313330701600911252e+1, 1.0};
    static constexpr double c[] = {7.74545014278341407640e-4, 2.27238449892691845833e-2,
                                   2.41780725177450611770e-1, 1.27045825245236838258e+0,
                                   3.64784832476320460504e+0, 5.76949722146069140550e+0,
                                   4.63033784615654529590e+0, 1.42343711074968357734e+0};
    static constexpr double d[] = {1.05075007164441684324e-9, 5.47593808499534494600e-4,
                                   1.51986665636164571966e-2, 1.48103976427480074590e-1,
                                   6.89767334985100004550e-1, 1.67638483018380384940e+0,
                                   2.05319162663775882187e+0, 1.0};
    static constexpr double e[] = {2.01033439929228813265e-7, 2.71155556874348757815e-5,
                                   1.24266094738807843860e-3, 2.65321895265761230930e-2,
                                   2.96560571828504891230e-1, 1.78482653991729133580e+0,
                                   5.46378491116411436990e+0, 6.65790464350110377720e+0};
    static constexpr double f[] = {2.04426310338993978564e-15, 1.42151175831644588870e-7,
                                   1.84631831751005468180e-5,  7.86869131145613259100e-4,
                                   1.48753612908506148525e-2,  1.36929880922735805310e-1,
                                   5.99832206555887937690e-1,  1.0};
    const double q = p - 0.5;
    double x;
    if (std::abs(q) <= 0.425) {
        const double r = 0.180625 - q * q;
        x = evaluate_polynomial(a, 8, r) * q / evaluate_polynomial(b, 8, r);
    } else {
        double r = std::sqrt(-std::log(p));  // q < 0 here, so the tail is p itself
        if (r <= 5.0) {
            r = r - 1.6;
            x = evaluate_polynomial(c, 8, r) / evaluate_polynomial(d, 8, r);
        } else {
            r = r - 5.0;
            x = evaluate_polynomial(e, 8, r) / evaluate_polynomial(f, 8, r);
        }
        x = -x;
    }
    return -x;
}

double student_quantile(double z, std::size_t dof) {
    if (dof == 0) return infinity;
    const double v = static_cast<double>(dof);
    return z + (std::pow(z, 3.0) + z) / (4.0 * v) +
           (5.0 * std::pow(z, 5.0) + 16.0 * std::pow(z, 3.0) + 3.0 * z) / (96.0 * v * v);
}

void CompensatedPrefix::assign(std::span<const double> terms) {
    high_.assign(terms.size() + 1, 0.0);
    low_.assign(terms.size() + 1, 0.0);
    double sum = 0.0;
    double compensation = 0.0;
    for (std::size_t i = 0; i < terms.size(); ++i) {
        // Neumaier's summation: keep what each addition rounds away.
        const double term = terms[i];
        const double next = sum + term;
        if (std::abs(sum) >= std::abs(term)) {
            compensation += (sum - next) + term;
        } else {
            compensation += (term - next) + sum;
        }
        sum = next;
        high_[i + 1] = sum;
        low_[i + 1] = compensation;
    }
}

SplitTester::SplitTester(std::span<const double> ranks, std::span<const double> values,
                         const DependenceFactors& factors)
    : n_(ranks.size()), factors_(factors) {
    for (auto& prefix : rank_) prefix.assign(n_ + 1, 0.0);
    for (auto& prefix : shape_) prefix.assign(n_ + 1, 0.0);
    std::vector<double> terms(n_);
    for (std::size_t t = 0; t < n_; ++t) {
        const double u = ranks[t];
        const double u2 = u * u;
        rank_[0][t + 1] = rank_[0][t] + u;
        rank_[1][t + 1] = rank_[1][t] + u2;
        rank_[2][t + 1] = rank_[2][t] + u2 * u;
        rank_[3][t + 1] = rank_[3][t] + u2 * u2;
        const double w = legendre_score(u, 4);
        shape_[0][t + 1] = shape_[0][t] + w;
        shape_[1][t + 1] = shape_[1][t] + w * w;
        terms[t] = static_cast<double>(t) * u;
    }
    rank_time_.assign(terms);
    value_.assign(values);
    for (std::size_t t = 0; t < n_; ++t) terms[t] = values[t] * values[t];
    value_square_.assign(terms);
    for (std::size_t t = 0; t < n_; ++t) terms[t] = static_cast<double>(t) * values[t];
    value_time_.assign(terms);
}

double SplitTester::two_sample(double difference, double variance, std::size_t n1,
                               std::size_t n2) const {
    const double se = std::sqrt(std::max(variance, 0.0) *
                                (1.0 / static_cast<double>(n1) + 1.0 / static_cast<double>(n2)));
    double z;
    if (se > 0.0) {
        z = std::abs(difference) / se;
    } else {
        z = std::abs(difference) > no_difference ? infinity : 0.0;
    }
    return scan_tail(z, n1, n2, n_);
}

double SplitTester::centred_squares(const std::vector<double>& sums,
                                    const std::vector<double>& squares, std::size_t begin,
                                    std::size_t end) const {
    const double s = plain(sums, begin, end);
    return std::max(plain(squares, begin, end) - s * s / static_cast<double>(end - begin), 0.0);
}

double SplitTester::level(std::size_t a, std::size_t c, std::size_t b) const {
    const std::size_t n1 = c - a, n2 = b - c;
    const double ss =
        centred_squares(rank_[0], rank_[1], a, c) + centred_squares(rank_[0], rank_[1], c, b);
    const double variance = ss / static_cast<double>(n1 + n2 - 2) * factors_.level;
    const double difference = plain(rank_[0], c, b) / static_cast<double>(n2) -
                              plain(rank_[0], a, c) / static_cast<double>(n1);
    return two_sample(difference, variance, n1, n2);
}

double SplitTester::spread(std::size_t a, std::size_t c, std::size_t b) const {
    // Second and fourth central moments of each side from its power sums.
    struct Moments {
        double second;
        double fourth;
    };
    const auto moments = [&](std::size_t begin, std::size_t end) {
        const double m = static_cast<double>(end - begin);
        const double s1 = plain(rank_[0], begin, end), s2 = plain(rank_[1], begin, end);
        const double s3 = plain(rank_[2], begin, end), s4 = plain(rank_[3], begin, end);
        const double mu = s1 / m;
        const double d2 = s2 - 2.0 * mu * s1 + m * mu * mu;
        const double d4 = s4 - 4.0 * mu * s3 + 6.0 * mu * mu * s2 - 4.0 * std::pow(mu, 3.0) * s1 +
                          m * std::pow(mu, 4.0);
        return Moments{std::max(d2, 0.0), std::max(d4, 0.0)};
    };
    const std::size_t n1 = c - a, n2 = b - c;
    const Moments left = moments(a, c), right = moments(c, b);
    const double ml = left.second / static_cast<double>(n1);
    const double mr = right.second / static_cast<double>(n2);
    const double ss = std::max(left.fourth - static_cast<double>(n1) * ml * ml, 0.0) +
                      std::max(right.fourth - static_cast<double>(n2) * mr * mr, 0.0);
    const double variance = ss / static_cast<double>(n1 + n2 - 2) * factors_.spread;
    return two_sample(mr - ml, variance, n1, n2);
}

double SplitTester::shape(std::size_t a, std::size_t c, std::size_t b) const {
    const std::size_t n1 = c - a, n2 = b - c;
    const double ss =
        centred_squares(shape_[0], shape_[1], a, c) + centred_squares(shape_[0], shape_[1], c, b);
    const double variance = ss / static_cast<double>(n1 + n2 - 2) * factors_.shape;
    const double difference = plain(shape_[0], c, b) / static_cast<double>(n2) -
                              plain(shape_[0], a, c) / static_cast<double>(n1);
    return two_sample(difference, variance, n1, n2);
}

namespace {

// Line over [begin, end) from the sums of y, y^2 and t y (t the index in the
// whole series), in time measured from `begin`.
LineFit line_from_sums(std::size_t begin, std::size_t end, double sum, double squares,
                       double time_sum) {
    const double m = static_cast<double>(end - begin);
    const double local_time_sum = time_sum - static_cast<double>(begin) * sum;
    const double cross = local_time_sum - (m - 1.0) / 2.0 * sum;
    const double time_squares = m * (m * m - 1.0) / 12.0;
    LineFit fit;
    fit.time_squares = time_squares;
    if (time_squares > 0.0) {
        fit.slope = cross / time_squares;
        fit.residual_squares =
            std::max(squares - sum * sum / m - cross * cross / time_squares, 0.0);
    } else {
        fit.residual_squares = std::max(squares - sum * sum / m, 0.0);
    }
    return fit;
}

}  // namespace

LineFit SplitTester::rank_line(std::size_t begin, std::size_t end) const {
    return line_from_sums(begin, end, plain(rank_[0], begin, end), plain(rank_[1], begin, end),
                          rank_time_.sum(begin, end));
}

LineFit SplitTester::value_line(std::size_t begin, std::size_t end) const {
    return line_from_sums(begin, end, value_.sum(begin, end), value_square_.sum(begin, end),
                          value_time_.sum(begin, end));
}

bool SplitTester::clear_slope(const LineFit& fit, std::size_t count, double factor) const {
    const double variance = fit.residual_squares / static_cast<double>(count - 2) * factor;
    if (!(variance > 0.0)) return fit.slope != 0.0;
    return std::abs(fit.slope) >
           student_quantile(trend_z, count - 2) * std::sqrt(variance / fit.time_squares);
}

bool SplitTester::trending(std::size_t a, std::size_t c, std::size_t b) const {
    // A line that fits the whole stretch at least as well as a step, with a
    // clear slope: the stretch is a trend, not two levels.
    const LineFit whole = rank_line(a, b);
    const double step =
        centred_squares(rank_[0], rank_[1], a, c) + centred_squares(rank_[0], rank_[1], c, b);
    if (whole.residual_squares <= step && clear_slope(whole, b - a, factors_.level)) return true;
    // Or either side trends on its own.
    for (const auto& [begin, end] : {std::pair{a, c}, std::pair{c, b}}) {
        if (end - begin < trend_check_side) continue;
        if (clear_slope(rank_line(begin, end), end - begin, factors_.level)) return true;
    }
    return false;
}

double SplitTester::trend(std::size_t a, std::size_t c, std::size_t b) const {
    const std::size_t n1 = c - a, n2 = b - c, m = b - a;
    if (m <= 4) return 1.0;
    const double one_line = value_line(a, b).residual_squares;
    const double two_lines = value_line(a, c).residual_squares + value_line(c, b).residual_squares;
    if (two_lines <= 1e-300) return one_line > 0.0 ? 0.0 : 1.0;
    // F statistic of the two extra parameters; exp(-F) is its chi-square(2)
    // tail, which is moved to the normal scale of the other tests.
    const double f =
        (one_line - two_lines) / 2.0 / (two_lines / static_cast<double>(m - 4)) / factors_.trend;
    const double point = f > 0.0 ? std::exp(-f) : 1.0;
    return scan_tail(normal_upper_quantile(point / 2.0), n1, n2, n_);
}

SplitEvidence SplitTester::evidence(std::size_t a, std::size_t c, std::size_t b) const {
    SplitEvidence best;
    const std::size_t shorter = std::min(c - a, b - c);
    if (shorter < min_side) return best;
    const auto offer = [&](TestKind kind, std::size_t needed, double count, auto test) {
        if (shorter < needed) return;
        const double p = std::min(1.0, count * test());
        if (p < best.p_value) best = {p, kind};
    };
    if (trending(a, c, b)) {
        offer(TestKind::trend, min_side_trend, 1.0, [&] { return trend(a, c, b); });
    } else {
        offer(TestKind::level, min_side, 3.0, [&] { return level(a, c, b); });
        offer(TestKind::spread, min_side_spread, 3.0, [&] { return spread(a, c, b); });
        offer(TestKind::shape, min_side_shape, 3.0, [&] { return shape(a, c, b); });
    }
    return best;
}

}  // namespace quarn
