#include "quarn/report.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "quarn/bootstrap.hpp"
#include "quarn/pool.hpp"
#include "quarn/line_fit.hpp"
#include "quarn/confirm.hpp"
#include "quarn/scores.hpp"

namespace quarn {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
// Largest lag-1 autocorrelation the sieve bootstrap and the trend test use.
constexpr double max_ar = 0.95;
// Each side's simulated walk covers this many times the scale of the
// position error, sigma^2 V / d^2, plus a margin, and at most max_walk
// values: beyond that the drift keeps the walk below its start.
constexpr double walk_scales = 80.0;
constexpr std::size_t walk_margin = 32;
constexpr std::size_t max_walk = 50'000;
// Longest pair of segments around a change whose report runs beside
// others: two at once then hold at most a few megabytes more than one.
constexpr std::size_t parallel_report_length = 65'536;

// Lag-1 autocorrelation of residuals, clipped to [0, max_ar]; 0 for fewer
// than 3 values or none without spread.
// Of the n residuals e(0), ..., e(n - 1).
template <class Residual>
double lag_one_of(std::size_t n, Residual e) {
    if (n < 3) return 0.0;
    double mean = 0.0;
    for (std::size_t t = 0; t < n; ++t) mean += e(t);
    mean /= static_cast<double>(n);
    double c0 = 0.0, c1 = 0.0;
    for (std::size_t t = 0; t < n; ++t) {
        const double d = e(t) - mean;
        c0 += d * d;
        if (t > 0) c1 += d * (e(t - 1) - mean);
    }
    if (!(c0 > 0.0)) return 0.0;
    return std::clamp(c1 / c0, 0.0, max_ar);
}

double lag_one(std::span<const double> e) {
    return lag_one_of(e.size(), [e](std::size_t t) { return e[t]; });
}

// One side of a change as the simulated walk sees it: the gap d between its
// own fit and the other side's at each step away from the change, and its
// residuals in time order.
struct Side {
    std::vector<double> gaps;
    std::vector<double> residuals;
};

// The noise of one side: an AR(1) with the residuals' lag-1
// autocorrelation, its innovations resampled from theirs, each less their
// mean. A walk's first value is a residual drawn whole (first_index, first),
// each later one its predecessor times phi plus an innovation drawn
// (next_index, innovation). An innovation is recomputed from its two
// residuals when drawn, by the same operations as when its mean was summed,
// rather than held beside them (8 bytes a residual, some megabytes for the
// long sides of a long series).
class SieveNoise {
  public:
    explicit SieveNoise(std::span<const double> residuals, double phi)
        : residuals_(residuals), phi_(phi) {
        if (empty()) return;
        double mean = 0.0;
        for (std::size_t t = 0; t + 1 < residuals.size(); ++t) mean += raw_innovation(t);
        mean_ = mean / static_cast<double>(residuals.size() - 1);
    }

    bool empty() const { return residuals_.size() < 2; }

    std::size_t first_index(Xoshiro256PlusPlus& generator) const {
        return static_cast<std::size_t>(uniform_below(generator, residuals_.size()));
    }
    std::size_t next_index(Xoshiro256PlusPlus& generator) const {
        return static_cast<std::size_t>(uniform_below(generator, residuals_.size() - 1));
    }
    double first(std::size_t drawn) const { return residuals_[drawn]; }
    double innovation(std::size_t drawn) const { return raw_innovation(drawn) - mean_; }
    double phi() const { return phi_; }

  private:
    // The innovation of residual t + 1, before its mean is taken off.
    double raw_innovation(std::size_t t) const {
        return residuals_[t + 1] - phi_ * residuals_[t];
    }

    std::span<const double> residuals_;
    double phi_;
    double mean_ = 0.0;  // of the innovations of residuals 1 .. m - 1
};

// Replicates walked side by side: their draws come first, in the order one
// replicate after the other takes them, and then the walks step together,
// so that the replicates' chains of dependent sums overlap in time. Each
// replicate's arithmetic is its own, as when walked alone.
constexpr std::size_t walk_lanes = 8;

}  // namespace

std::vector<std::int64_t> simulated_errors(const WalkSide& left, const WalkSide& right, double phi,
                                           std::uint64_t seed, std::size_t replicates) {
    const SieveNoise left_noise(left.residuals, phi), right_noise(right.residuals, phi);
    const std::size_t right_steps = right_noise.empty() ? 0 : right.gaps.size();
    const std::size_t left_steps = left_noise.empty() ? 0 : left.gaps.size();
    const std::size_t steps = right_steps + left_steps;
    std::vector<std::int64_t> errors;
    errors.reserve(replicates);
    Xoshiro256PlusPlus generator = seed_generator(seed);
    // The values each lane draws (a first residual, then innovations): its
    // right walk's, then its left walk's.
    std::vector<double> drawn(walk_lanes * steps);
    const auto draw = [&generator](const SieveNoise& noise, std::size_t count, double* out) {
        if (count == 0) return;
        out[0] = noise.first(noise.first_index(generator));
        for (std::size_t j = 1; j < count; ++j) out[j] = noise.innovation(noise.next_index(generator));
    };
    for (std::size_t first = 0; first < replicates; first += walk_lanes) {
        const std::size_t lanes = std::min(walk_lanes, replicates - first);
        for (std::size_t lane = 0; lane < lanes; ++lane) {
            double* out = drawn.data() + lane * steps;
            draw(right_noise, right_steps, out);
            draw(left_noise, left_steps, out + right_steps);
        }
        double best[walk_lanes] = {}, last[walk_lanes] = {}, position[walk_lanes] = {};
        std::int64_t arg[walk_lanes] = {};
        const auto walk = [&](std::span<const double> gaps, const SieveNoise& noise,
                              std::size_t count, std::size_t offset, std::int64_t sign) {
            if (count == 0) return;
            const double ar = noise.phi();
            for (std::size_t lane = 0; lane < lanes; ++lane) position[lane] = 0.0;
            for (std::size_t j = 0; j < count; ++j) {
                const double d = gaps[j];
                for (std::size_t lane = 0; lane < lanes; ++lane) {
                    const double v = drawn[lane * steps + offset + j];
                    const double e = j == 0 ? v : ar * last[lane] + v;
                    last[lane] = e;
                    position[lane] -= d * d + 2.0 * d * e;
                    if (position[lane] > best[lane]) {
                        best[lane] = position[lane];
                        arg[lane] = sign * static_cast<std::int64_t>(j + 1);
                    }
                }
            }
        };
        walk(right.gaps, right_noise, right_steps, 0, 1);
        walk(left.gaps, left_noise, left_steps, right_steps, -1);
        for (std::size_t lane = 0; lane < lanes; ++lane) errors.push_back(arg[lane]);
    }
    return errors;
}

namespace {

// How far each side's walk must go: walk_scales times sigma^2 V / d^2.
std::size_t walk_length(double gap, double variance, double phi, std::size_t available) {
    const double v = (1.0 + phi) / (1.0 - phi);
    const double scale = gap != 0.0 ? variance * v / (gap * gap) : 1e300;
    const double wanted = walk_scales * scale + static_cast<double>(walk_margin);
    const double capped = std::min({wanted, static_cast<double>(max_walk),
                                    static_cast<double>(available)});
    return static_cast<std::size_t>(capped);
}

// Of the n residuals e(0), ..., e(n - 1) (divisor n).
template <class Residual>
double variance_of_values(std::size_t n, Residual e) {
    if (n == 0) return 0.0;
    double mean = 0.0, squares = 0.0;
    for (std::size_t t = 0; t < n; ++t) mean += e(t);
    mean /= static_cast<double>(n);
    for (std::size_t t = 0; t < n; ++t) squares += (e(t) - mean) * (e(t) - mean);
    return squares / static_cast<double>(n);
}

double variance_of(std::span<const double> e) {
    return variance_of_values(e.size(), [e](std::size_t t) { return e[t]; });
}

// Longest stretch whose medians are taken from a copy of it; longer ones
// are streamed, holding about 3% of the values (a segment of a long series
// would otherwise add its copy, 8 bytes a value, to the call's peak).
constexpr std::size_t copied_figures_limit = std::size_t{1} << 18;

// Median and robust spread of the n values value(0), ..., value(n - 1), as
// robust_figures gives them on a span of them.
template <class Value>
RobustFigures robust_figures_of(std::size_t n, Value value) {
    if (n == 0) return {nan, nan};
    if (n <= copied_figures_limit) {
        // What median_of does at this length, in one copy without calls
        // through a function object: the same values in the same order.
        std::vector<double> copy(n);
        for (std::size_t t = 0; t < n; ++t) copy[t] = value(t);
        const double level = median_in_place(copy);
        for (std::size_t t = 0; t < n; ++t) copy[t] = std::abs(value(t) - level);
        return {level, mad_to_sd * median_in_place(copy)};
    }
    const double level = median_of(n, value, true, nullptr, copied_figures_limit);
    const double spread = median_of(
        n, [&](std::size_t t) { return std::abs(value(t) - level); }, false, nullptr,
        copied_figures_limit);
    return {level, mad_to_sd * spread};
}

// variance_of(e followed by f), without joining them.
double variance_of_both(std::span<const double> e, std::span<const double> f) {
    const std::size_t count = e.size() + f.size();
    if (count == 0) return 0.0;
    double mean = 0.0, squares = 0.0;
    for (const double v : e) mean += v;
    for (const double v : f) mean += v;
    mean /= static_cast<double>(count);
    for (const double v : e) squares += (v - mean) * (v - mean);
    for (const double v : f) squares += (v - mean) * (v - mean);
    return squares / static_cast<double>(count);
}

}  // namespace

RobustFigures robust_figures(std::span<const double> values) {
    // Long stretches without a copy (see median_of).
    return robust_figures_of(values.size(), [values](std::size_t t) { return values[t]; });
}

namespace {

// The segments that `cuts` make of x, given each segment's robust figures.
std::vector<SegmentReport> segments_with_figures(std::span<const double> x,
                                                 std::span<const std::uint64_t> cuts,
                                                 std::span<const RobustFigures> figures_of) {
    std::vector<SegmentReport> segments;
    std::uint64_t start = 0;
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
        const std::uint64_t stop = i < cuts.size() ? cuts[i] : x.size();
        SegmentReport segment;
        segment.start = start;
        segment.stop = stop;
        segment.count = stop - start;
        const std::span<const double> values = x.subspan(start, stop - start);
        const RobustFigures figures = figures_of[i];
        segment.level = figures.level;
        segment.spread = figures.spread;
        const std::size_t m = values.size();
        if (m >= 8) {
            const Line line = fit_line(m, [&](std::size_t t) { return values[t]; });
            // Computed when read: no copy of a segment as long as the series.
            const auto residual = [&](std::size_t t) {
                return values[t] - (line.intercept + line.slope * static_cast<double>(t));
            };
            const double phi = lag_one_of(m, residual);
            const double md = static_cast<double>(m);
            const double sxx = md * (md * md - 1.0) / 12.0;
            const double variance = variance_of_values(m, residual) * md / (md - 2.0);
            const double se = std::sqrt(variance * (1.0 + phi) / (1.0 - phi) / sxx);
            if (line.slope != 0.0 && (se == 0.0 || std::abs(line.slope) > trend_t * se)) {
                segment.slope = line.slope;
                segment.spread = robust_figures_of(m, residual).spread;
            }
        }
        segments.push_back(segment);
        start = stop;
    }
    return segments;
}

// Direction and effect of a change of `kind` at c between [a, c) and [c, b)
// of x, given the robust figures of the two sides.
ChangeReport effect_with_figures(std::span<const double> x, std::size_t a, std::size_t c,
                                 std::size_t b, ChangeKind kind, const RobustFigures& l,
                                 const RobustFigures& r);

}  // namespace

std::vector<SegmentReport> describe_segments(std::span<const double> x,
                                       std::span<const std::uint64_t> cuts) {
    std::vector<RobustFigures> figures;
    std::uint64_t start = 0;
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
        const std::uint64_t stop = i < cuts.size() ? cuts[i] : x.size();
        figures.push_back(robust_figures(x.subspan(start, stop - start)));
        start = stop;
    }
    return segments_with_figures(x, cuts, figures);
}

namespace {

ChangeReport effect_with_figures(std::span<const double> x, std::size_t a, std::size_t c,
                                 std::size_t b, ChangeKind kind, const RobustFigures& l,
                                 const RobustFigures& r) {
    ChangeReport report;
    const std::span<const double> left = x.subspan(a, c - a), right = x.subspan(c, b - c);
    const auto direction_of = [](double signed_size) {
        if (signed_size > 0.0) return Direction::up;
        if (signed_size < 0.0) return Direction::down;
        return Direction::none;
    };
    switch (kind) {
        case ChangeKind::level: {
            const double nl = static_cast<double>(left.size()),
                         nr = static_cast<double>(right.size());
            const double pooled =
                std::sqrt((nl * l.spread * l.spread + nr * r.spread * r.spread) / (nl + nr));
            const double difference = r.level - l.level;
            report.direction = direction_of(difference);
            report.effect = difference == 0.0 ? 0.0 : difference / pooled;
            break;
        }
        case ChangeKind::spread: {
            report.direction = direction_of(r.spread - l.spread);
            report.effect = r.spread / l.spread;  // infinite when the left side has no spread
            break;
        }
        case ChangeKind::slope: {
            const Line left_line = fit_line(left.size(), [&](std::size_t t) { return left[t]; });
            const Line right_line = fit_line(right.size(), [&](std::size_t t) { return right[t]; });
            report.effect = right_line.slope - left_line.slope;
            report.direction = direction_of(report.effect);
            break;
        }
        default:  // a change of shape has no single direction or size
            break;
    }
    return report;
}

// Whether the effect of a change of this kind reads the sides' robust figures.
bool effect_reads_figures(ChangeKind kind) {
    return kind == ChangeKind::level || kind == ChangeKind::spread;
}

}  // namespace

ChangeReport describe_effect(std::span<const double> x, std::size_t a, std::size_t c,
                             std::size_t b, ChangeKind kind) {
    const bool reads = effect_reads_figures(kind);
    const RobustFigures none{nan, nan};
    return effect_with_figures(x, a, c, b, kind, reads ? robust_figures(x.subspan(a, c - a)) : none,
                               reads ? robust_figures(x.subspan(c, b - c)) : none);
}

std::pair<std::uint64_t, std::uint64_t> interval_from_errors(std::vector<std::int64_t> errors,
                                                             std::size_t a, std::size_t c,
                                                             std::size_t b, double confidence) {
    const std::int64_t lowest = static_cast<std::int64_t>(a) + 1;
    const std::int64_t highest = static_cast<std::int64_t>(b) - 1;
    if (errors.empty()) return {static_cast<std::uint64_t>(lowest), static_cast<std::uint64_t>(highest)};
    std::sort(errors.begin(), errors.end());
    const double count = static_cast<double>(errors.size());
    const double tail = (1.0 - confidence) / 2.0;
    // Conservative order statistics of the two tails.
    const auto at = [&](double share) {
        const double rank = std::clamp(share * count, 0.0, count - 1.0);
        return errors[static_cast<std::size_t>(rank)];
    };
    const std::int64_t error_low = at(tail);
    const std::int64_t error_high = errors[static_cast<std::size_t>(
        std::clamp(std::ceil((1.0 - tail) * count) - 1.0, 0.0, count - 1.0))];
    // truth = estimate - error
    const std::int64_t ci = static_cast<std::int64_t>(c);
    const std::int64_t low = std::clamp(ci - error_high, lowest, highest);
    const std::int64_t high = std::clamp(ci - error_low, lowest, highest);
    return {static_cast<std::uint64_t>(std::min(low, ci)),
            static_cast<std::uint64_t>(std::max(high, ci))};
}

std::pair<std::uint64_t, std::uint64_t> location_interval(const ScoredSeries& series,
                                                          std::size_t a, std::size_t c,
                                                          std::size_t b, TestKind placed_by,
                                                          double confidence, std::uint64_t seed) {
    const std::size_t nl = c - a, nr = b - c;
    if (nl < 2 || nr < 2) return interval_from_errors({}, a, c, b, confidence);
    Side left, right;
    left.residuals.resize(nl);
    right.residuals.resize(nr);
    double gap = 0.0;  // constant gap of the mean models
    if (placed_by == TestKind::trend) {
        const Line l = fit_line(nl, [&](std::size_t t) { return series.value(a + t); });
        const Line r = fit_line(nr, [&](std::size_t t) { return series.value(c + t); });
        for (std::size_t t = 0; t < nl; ++t) {
            left.residuals[t] = series.value(a + t) - (l.intercept + l.slope * double(t));
        }
        for (std::size_t t = 0; t < nr; ++t) {
            right.residuals[t] = series.value(c + t) - (r.intercept + r.slope * double(t));
        }
        // The gap at a value: its own side's line less the other side's,
        // both in the time of the left span.
        const auto left_line = [&](double t) { return l.intercept + l.slope * t; };
        const auto right_line = [&](double t) {
            return r.intercept + r.slope * (t - static_cast<double>(nl));
        };
        // Gap j steps from the change on the left and on the right.
        const auto left_gap = [&](std::size_t j) {
            const double t = static_cast<double>(nl - 1 - j);
            return left_line(t) - right_line(t);
        };
        const auto right_gap = [&](std::size_t j) {
            const double t = static_cast<double>(nl + j);
            return right_line(t) - left_line(t);
        };
        const double variance =
            (variance_of(left.residuals) * double(nl) + variance_of(right.residuals) * double(nr)) /
            double(nl + nr);
        const double phi = lag_one(left.residuals) * 0.5 + lag_one(right.residuals) * 0.5;
        // The gap grows with the distance from a kink: the walk's length
        // comes from the gap one value away.
        const double first_gap = std::max(std::abs(left_gap(0)), std::abs(right_gap(0)));
        const double slope_gap = std::abs(l.slope - r.slope);
        const double scale_gap = std::max(first_gap, slope_gap);
        // Only the steps the walks take (at most max_walk), not a gap for
        // every value of the two stretches.
        left.gaps.resize(walk_length(scale_gap, variance, phi, nl - 1));
        right.gaps.resize(walk_length(scale_gap, variance, phi, nr - 1));
        for (std::size_t j = 0; j < left.gaps.size(); ++j) left.gaps[j] = left_gap(j);
        for (std::size_t j = 0; j < right.gaps.size(); ++j) right.gaps[j] = right_gap(j);
        return interval_from_errors(simulated_errors({left.gaps, left.residuals}, {right.gaps, right.residuals}, phi, seed), a, c, b, confidence);
    }
    // Mean models of one score (level) or three (spread and shape): the
    // walk sees the residuals along the direction of the means' difference.
    // A kind of test without scores of its own here sees all four.
    const bool smooth = placed_by == TestKind::spread || placed_by == TestKind::shape;
    const int first = smooth ? 2 : 1;
    const int last = placed_by == TestKind::level ? 1 : 4;
    const auto score = [&](std::size_t t, int degree) {
        return degree == 1 ? series.rank(t) : legendre_score(series.rank(t), degree);
    };
    double difference[4] = {}, mean_l[4] = {}, mean_r[4] = {}, noise[4] = {};
    double scale[4] = {1.0, 1.0, 1.0, 1.0};
    for (int d = first; d <= last; ++d) {
        const int k = d - first;
        double sl = 0.0, sr = 0.0;
        for (std::size_t t = a; t < c; ++t) sl += score(t, d);
        for (std::size_t t = c; t < b; ++t) sr += score(t, d);
        mean_l[k] = sl / double(nl);
        mean_r[k] = sr / double(nr);
        if (first > 1 || last > 1) {  // the split statistic weighs each score by its spread
            const double mean = (sl + sr) / double(nl + nr);
            double squares = 0.0;
            for (std::size_t t = a; t < b; ++t) squares += (score(t, d) - mean) * (score(t, d) - mean);
            const double sd = std::sqrt(squares / double(nl + nr));
            scale[k] = sd > 0.0 ? 1.0 / sd : 0.0;
        }
        difference[k] = (mean_r[k] - mean_l[k]) * scale[k];
        gap += difference[k] * difference[k];
        double squares = 0.0;
        for (std::size_t t = a; t < b; ++t) {
            const double e = (score(t, d) - (t < c ? mean_l[k] : mean_r[k])) * scale[k];
            squares += e * e;
        }
        noise[k] = squares / double(nl + nr);
    }
    const double fitted_gap = gap;  // squared, as fitted
    gap = std::sqrt(fitted_gap);
    if (!(gap > 0.0)) return interval_from_errors({}, a, c, b, confidence);
    const auto projected = [&](std::size_t t, const double* mean) {
        double e = 0.0;
        for (int d = first; d <= last; ++d) {
            const int k = d - first;
            e += (score(t, d) - mean[k]) * scale[k] * difference[k] / gap;
        }
        return e;
    };
    for (std::size_t t = 0; t < nl; ++t) left.residuals[t] = projected(a + t, mean_l);
    for (std::size_t t = 0; t < nr; ++t) right.residuals[t] = projected(c + t, mean_r);
    // Lag-1 autocorrelation less its small-sample bias, -(1 + 3 phi) / m.
    double phi = (lag_one(left.residuals) * double(nl) + lag_one(right.residuals) * double(nr)) /
                 double(nl + nr);
    phi = std::min(phi + (1.0 + 3.0 * phi) / double(nl + nr), max_ar);
    const double variance = variance_of_both(left.residuals, right.residuals);
    // The fitted means' difference holds their noise as well: its square
    // exceeds the true one by the noise variance of each score times
    // (1/nl + 1/nr), times the long-run factor of dependent noise. Taken
    // off, weak changes in short stretches get their due width (at most
    // twice as wide a scale as fitted).
    {
        double excess = 0.0;
        for (int d = first; d <= last; ++d) excess += noise[d - first];
        excess *= (1.0 + phi) / (1.0 - phi) * (1.0 / double(nl) + 1.0 / double(nr));
        gap = std::sqrt(std::max(fitted_gap - excess, 0.25 * fitted_gap));
    }
    // Left values carry the right residuals' sign convention reversed.
    left.gaps.assign(walk_length(gap, variance, phi, nl - 1), -gap);
    right.gaps.assign(walk_length(gap, variance, phi, nr - 1), gap);
    return interval_from_errors(simulated_errors({left.gaps, left.residuals}, {right.gaps, right.residuals}, phi, seed), a, c, b, confidence);
}

}  // namespace quarn

namespace quarn {

void report_changes(MethodOutput& output, std::span<const double> values,
                    const ScoredSeries& series, std::span<const TestKind> placed_by,
                    double confidence, std::uint64_t seed) {
    std::vector<std::uint64_t> cuts;
    for (const Change& change : output.changes) cuts.push_back(change.position);
    const std::size_t n = values.size();
    // Each change is reported on its own (its replicates drawn from the seed
    // and its place), so the changes run in parallel on the pool of the
    // calling thread, each writing only its own report. A change's interval
    // holds a few copies of its two segments: where some change's segments
    // together exceed parallel_report_length values, the changes run one
    // after the other, as the memory of a long series allows no more.
    bool in_parallel = true;
    for (std::size_t i = 0; i < cuts.size(); ++i) {
        const std::size_t a = i == 0 ? 0 : static_cast<std::size_t>(cuts[i - 1]);
        const std::size_t b = i + 1 < cuts.size() ? static_cast<std::size_t>(cuts[i + 1]) : n;
        if (b - a > parallel_report_length) in_parallel = false;
    }
    // The robust figures of each segment, computed once: the segments'
    // reports and the effects on either side of each change read them.
    std::vector<RobustFigures> figures(cuts.size() + 1);
    const auto figure = [&](std::size_t i) {
        const std::size_t a = i == 0 ? 0 : static_cast<std::size_t>(cuts[i - 1]);
        const std::size_t b = i < cuts.size() ? static_cast<std::size_t>(cuts[i]) : n;
        figures[i] = robust_figures(values.subspan(a, b - a));
    };
    const auto report = [&](std::size_t i) {
        const std::size_t a = i == 0 ? 0 : static_cast<std::size_t>(cuts[i - 1]);
        const std::size_t b = i + 1 < cuts.size() ? static_cast<std::size_t>(cuts[i + 1]) : n;
        const std::size_t c = static_cast<std::size_t>(cuts[i]);
        Change& change = output.changes[i];
        change.report = effect_with_figures(values, a, c, b, change.kind, figures[i], figures[i + 1]);
        const std::uint64_t key = seed * 0x9E3779B97F4A7C15ull + c;
        const auto [low, high] = location_interval(series, a, c, b, placed_by[i], confidence, key);
        change.report.interval_low = low;
        change.report.interval_high = high;
    };
    if (in_parallel) {
        parallel_pieces(std::size_t{0}, figures.size(), std::size_t{1},
                        [&](std::size_t begin, std::size_t end) {
                            for (std::size_t i = begin; i != end; ++i) figure(i);
                        });
        parallel_pieces(std::size_t{0}, cuts.size(), std::size_t{1},
                        [&](std::size_t begin, std::size_t end) {
                            for (std::size_t i = begin; i != end; ++i) report(i);
                        });
    } else {
        for (std::size_t i = 0; i < figures.size(); ++i) figure(i);
        for (std::size_t i = 0; i < cuts.size(); ++i) report(i);
    }
    output.segments = segments_with_figures(values, cuts, figures);
}

}  // namespace quarn
