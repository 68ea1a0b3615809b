#include "quarn/split_evidence.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <numbers>
#include <utility>

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
// Nor a side of the shape test shorter than this many long-run correlation
// lengths of the noise (its level factor): in persistent noise a stretch that
// wanders to the edge of the series' range bunches its ranks there, and the
// shape scores of such a bunch pass for a change of shape far more often than
// their normal approximation allows. A side must span at least two such
// wanderings.
constexpr double min_shape_correlation_lengths = 2.0;
// A side enters the trend check when it holds at least this many values,
// and counts as trending when its slope is this many standard errors
// (normal scale, widened to Student's t for the side's length) from 0.
constexpr std::size_t trend_check_side = 5;
constexpr double trend_z = 3.0;
// Bounds of the expected share of a stretch's variance about its own mean
// (within_variance_share): the correlation it assumes, and the least share.
constexpr double max_within_correlation = 0.99;
constexpr double min_within_share = 0.01;
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

void SplitTester::RankSums::add(std::size_t t, double score) {
    const double square = score * score;
    u += score;
    u2 += square;
    u3 += square * score;
    u4 += square * square;
    const double w = legendre_score(score, 4);
    shape += w;
    shape2 += w * w;
    time.add(static_cast<double>(t) * score);
}

void SplitTester::ValueSums::add(std::size_t t, double v) {
    value.add(v);
    square.add(v * v);
    time.add(static_cast<double>(t) * v);
}

std::size_t SplitTester::stride_for(std::size_t n) {
    const std::size_t needed = (n + most_checkpoints - 1) / most_checkpoints;
    return std::max(checkpoint_stride, std::bit_ceil(needed));
}

SplitTester::SplitTester(const ScoredSeries& series, const DependenceFactors& factors,
                         std::size_t rank_stride)
    : series_(&series),
      n_(series.size()),
      factors_(factors),
      rank_stride_(std::max(checkpoint_stride, std::bit_ceil(rank_stride))),
      value_stride_(2 * rank_stride_) {
    rank_checkpoints_.reserve(n_ / rank_stride_ + 1);
    value_checkpoints_.reserve(n_ / value_stride_ + 1);
    RankSums ranks;
    ValueSums values;
    for (std::size_t t = 0; t < n_; ++t) {
        if (t % rank_stride_ == 0) {
            rank_checkpoints_.push_back(ranks);
            if (t % value_stride_ == 0) value_checkpoints_.push_back(values);
        }
        ranks.add(t, series.rank(t));
        values.add(t, series.value(t));
    }
    if (n_ % rank_stride_ == 0) rank_checkpoints_.push_back(ranks);
    if (n_ % value_stride_ == 0) value_checkpoints_.push_back(values);
}

void SplitTester::remember(std::span<const std::uint64_t> indices) {
    known_.clear();
    known_rank_sums_.clear();
    known_value_sums_.clear();
    std::vector<RankSums> ranks;
    std::vector<ValueSums> values;
    ranks.reserve(indices.size());
    values.reserve(indices.size());
    for (const std::uint64_t index : indices) {
        ranks.push_back(rank_sums(static_cast<std::size_t>(index)));
        values.push_back(value_sums(static_cast<std::size_t>(index)));
    }
    known_.assign(indices.begin(), indices.end());
    known_rank_sums_ = std::move(ranks);
    known_value_sums_ = std::move(values);
}

void SplitTester::remember_splits(std::span<const std::uint64_t> points) {
    std::vector<std::uint64_t> splits;
    splits.reserve(points.size() + 1);
    splits.assign(points.begin(), points.end());
    splits.push_back(static_cast<std::uint64_t>(n_));
    remember(splits);
}

void SplitTester::coarsen_checkpoints(std::size_t rank_stride) {
    const std::size_t stride = std::bit_ceil(rank_stride);
    if (stride <= rank_stride_) return;
    // Checkpoint k of the new stride is checkpoint k * factor of the old,
    // for the values as for the ranks (their strides keep their ratio).
    const std::size_t factor = stride / rank_stride_;
    const auto keep_every = [factor](auto& checkpoints) {
        std::size_t kept = 0;
        for (std::size_t k = 0; k < checkpoints.size(); k += factor) {
            checkpoints[kept++] = checkpoints[k];
        }
        checkpoints.resize(kept);
        checkpoints.shrink_to_fit();
    };
    keep_every(rank_checkpoints_);
    keep_every(value_checkpoints_);
    rank_stride_ = stride;
    value_stride_ = 2 * stride;
}

std::size_t SplitTester::known_position(std::size_t index) const {
    const auto at = std::lower_bound(known_.begin(), known_.end(), index);
    if (at == known_.end() || *at != index) return known_.size();
    return static_cast<std::size_t>(at - known_.begin());
}

SplitTester::RankSums SplitTester::rank_sums(std::size_t index) const {
    if (const std::size_t k = known_position(index); k < known_.size()) {
        return known_rank_sums_[k];
    }
    const std::size_t base = index / rank_stride_;
    RankSums sums = rank_checkpoints_[base];
    for (std::size_t t = base * rank_stride_; t < index; ++t) sums.add(t, series_->rank(t));
    return sums;
}

SplitTester::ValueSums SplitTester::value_sums(std::size_t index) const {
    if (const std::size_t k = known_position(index); k < known_.size()) {
        return known_value_sums_[k];
    }
    const std::size_t base = index / value_stride_;
    ValueSums sums = value_checkpoints_[base];
    for (std::size_t t = base * value_stride_; t < index; ++t) {
        sums.add(t, series_->value(t));
    }
    return sums;
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

namespace {

// Sum of squares about the mean of m terms with sum s and sum of squares q.
double centred_squares(double s, double q, std::size_t m) {
    return std::max(q - s * s / static_cast<double>(m), 0.0);
}

}  // namespace

double SplitTester::level(const RankSplit& s, std::size_t a, std::size_t c, std::size_t b) const {
    const std::size_t n1 = c - a, n2 = b - c;
    const double ss = centred_squares(s.c.u - s.a.u, s.c.u2 - s.a.u2, n1) +
                      centred_squares(s.b.u - s.c.u, s.b.u2 - s.c.u2, n2);
    const double variance = ss / static_cast<double>(n1 + n2 - 2) * factors_.level;
    const double difference =
        (s.b.u - s.c.u) / static_cast<double>(n2) - (s.c.u - s.a.u) / static_cast<double>(n1);
    return two_sample(difference, variance, n1, n2);
}

double SplitTester::spread(const RankSplit& s, std::size_t a, std::size_t c, std::size_t b) const {
    // Second and fourth central moments of each side from its power sums.
    struct Moments {
        double second;
        double fourth;
    };
    const auto moments = [](const RankSums& from, const RankSums& to, std::size_t count) {
        const double m = static_cast<double>(count);
        const double s1 = to.u - from.u, s2 = to.u2 - from.u2;
        const double s3 = to.u3 - from.u3, s4 = to.u4 - from.u4;
        const double mu = s1 / m;
        const double d2 = s2 - 2.0 * mu * s1 + m * mu * mu;
        const double d4 = s4 - 4.0 * mu * s3 + 6.0 * mu * mu * s2 - 4.0 * std::pow(mu, 3.0) * s1 +
                          m * std::pow(mu, 4.0);
        return Moments{std::max(d2, 0.0), std::max(d4, 0.0)};
    };
    const std::size_t n1 = c - a, n2 = b - c;
    const Moments left = moments(s.a, s.c, n1), right = moments(s.c, s.b, n2);
    const double ml = left.second / static_cast<double>(n1);
    const double mr = right.second / static_cast<double>(n2);
    const double ss = std::max(left.fourth - static_cast<double>(n1) * ml * ml, 0.0) +
                      std::max(right.fourth - static_cast<double>(n2) * mr * mr, 0.0);
    const double variance = ss / static_cast<double>(n1 + n2 - 2) * factors_.spread;
    // In persistent noise a short side wanders little about its own mean:
    // each side's spread is set against what its length leaves of the
    // series' spread, or every short stretch would pass for a quieter one.
    // Its squared deviations then count as m times that share of values.
    if (factors_.persistence > 0.0) {
        const double d1 = static_cast<double>(n1), d2 = static_cast<double>(n2);
        const double g1 = within_variance_share(n1, factors_.persistence);
        const double g2 = within_variance_share(n2, factors_.persistence);
        const double fewer = (1.0 / (d1 * g1) + 1.0 / (d2 * g2)) / (1.0 / d1 + 1.0 / d2);
        return two_sample(mr / g2 - ml / g1, variance * fewer, n1, n2);
    }
    return two_sample(mr - ml, variance, n1, n2);
}

double within_variance_share(std::size_t m, double r) {
    if (m < 2 || !(r > 0.0)) return 1.0;
    r = std::min(r, max_within_correlation);
    const double md = static_cast<double>(m);
    // m times the variance of the mean over that of one value, for AR(1).
    const double of_mean = (1.0 + r) / (1.0 - r) -
                           2.0 * r * (1.0 - std::pow(r, md)) / (md * (1.0 - r) * (1.0 - r));
    return std::max(md - of_mean, min_within_share * (md - 1.0)) / (md - 1.0);
}

double SplitTester::shape(const RankSplit& s, std::size_t a, std::size_t c, std::size_t b) const {
    const std::size_t n1 = c - a, n2 = b - c;
    const double ss = centred_squares(s.c.shape - s.a.shape, s.c.shape2 - s.a.shape2, n1) +
                      centred_squares(s.b.shape - s.c.shape, s.b.shape2 - s.c.shape2, n2);
    const double variance = ss / static_cast<double>(n1 + n2 - 2) * factors_.shape;
    const double difference = (s.b.shape - s.c.shape) / static_cast<double>(n2) -
                              (s.c.shape - s.a.shape) / static_cast<double>(n1);
    return two_sample(difference, variance, n1, n2);
}

double SplitTester::level(std::size_t a, std::size_t c, std::size_t b) const {
    return level(rank_split(a, c, b), a, c, b);
}

double SplitTester::spread(std::size_t a, std::size_t c, std::size_t b) const {
    return spread(rank_split(a, c, b), a, c, b);
}

double SplitTester::shape(std::size_t a, std::size_t c, std::size_t b) const {
    return shape(rank_split(a, c, b), a, c, b);
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

namespace {

LineFit rank_line_of(const auto& from, const auto& to, std::size_t begin, std::size_t end) {
    return line_from_sums(begin, end, to.u - from.u, to.u2 - from.u2, to.time.since(from.time));
}

}  // namespace

LineFit SplitTester::rank_line(std::size_t begin, std::size_t end) const {
    return rank_line_of(rank_sums(begin), rank_sums(end), begin, end);
}

LineFit SplitTester::value_line(std::size_t begin, std::size_t end) const {
    const ValueSums from = value_sums(begin), to = value_sums(end);
    return line_from_sums(begin, end, to.value.since(from.value), to.square.since(from.square),
                          to.time.since(from.time));
}

bool SplitTester::clear_slope(const LineFit& fit, std::size_t count, double factor) const {
    const double variance = fit.residual_squares / static_cast<double>(count - 2) * factor;
    if (!(variance > 0.0)) return fit.slope != 0.0;
    return std::abs(fit.slope) >
           student_quantile(trend_z, count - 2) * std::sqrt(variance / fit.time_squares);
}

bool SplitTester::trending(const RankSplit& s, std::size_t a, std::size_t c, std::size_t b) const {
    // A line that fits the whole stretch at least as well as a step, with a
    // clear slope: the stretch is a trend, not two levels.
    const LineFit whole = rank_line_of(s.a, s.b, a, b);
    const double step = centred_squares(s.c.u - s.a.u, s.c.u2 - s.a.u2, c - a) +
                        centred_squares(s.b.u - s.c.u, s.b.u2 - s.c.u2, b - c);
    if (whole.residual_squares <= step && clear_slope(whole, b - a, factors_.level)) return true;
    // Or either side trends on its own.
    if (c - a >= trend_check_side &&
        clear_slope(rank_line_of(s.a, s.c, a, c), c - a, factors_.level)) {
        return true;
    }
    return b - c >= trend_check_side &&
           clear_slope(rank_line_of(s.c, s.b, c, b), b - c, factors_.level);
}

bool SplitTester::trending(std::size_t a, std::size_t c, std::size_t b) const {
    return trending(rank_split(a, c, b), a, c, b);
}

double SplitTester::trend(std::size_t a, std::size_t c, std::size_t b) const {
    const std::size_t n1 = c - a, n2 = b - c, m = b - a;
    if (m <= 4) return 1.0;
    const ValueSums at_a = value_sums(a), at_c = value_sums(c), at_b = value_sums(b);
    const auto residual_squares = [](const ValueSums& from, const ValueSums& to, std::size_t begin,
                                     std::size_t end) {
        return line_from_sums(begin, end, to.value.since(from.value), to.square.since(from.square),
                              to.time.since(from.time))
            .residual_squares;
    };
    const double one_line = residual_squares(at_a, at_b, a, b);
    const double two_lines =
        residual_squares(at_a, at_c, a, c) + residual_squares(at_c, at_b, c, b);
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
    const RankSplit sums = rank_split(a, c, b);
    if (trending(sums, a, c, b)) {
        offer(TestKind::trend, min_side_trend, 1.0, [&] { return trend(a, c, b); });
    } else {
        offer(TestKind::level, min_side, 3.0, [&] { return level(sums, a, c, b); });
        offer(TestKind::spread, min_side_spread, 3.0, [&] { return spread(sums, a, c, b); });
        const double sides_needed =
            effective_shape_sides_ ? static_cast<double>(min_side_shape) * factors_.level
                                   : min_shape_correlation_lengths * factors_.level;
        if (static_cast<double>(shorter) >= sides_needed) {
            offer(TestKind::shape, min_side_shape, 3.0, [&] { return shape(sums, a, c, b); });
        }
    }
    return best;
}

}  // namespace quarn
