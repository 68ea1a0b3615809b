#include "quarn/local_level.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <numbers>
#include <vector>

namespace quarn {

namespace {

// Standard errors by which the spread of the differences at the longest lag
// measured must exceed that at a quarter of it for the series to count as a
// walk.
constexpr double walk_z = 3.5;
// Longest lag whose differences are measured, and the fewest differences a
// spread is read from (nor fewer than half the lag 1 differences). The
// differences of a walk over a good part of a segment share most of its
// steps, and their spread about their own median falls short of the walk's:
// the variances are read from lags that leave seven eighths of the lag 1
// differences.
constexpr std::size_t longest_lag = 1024;
constexpr std::size_t fewest_differences = 64;
// Variance of the log of a squared median absolute deviation of m normal
// values, times m.
constexpr double log_spread_variance = 5.44;
// At most this many differences are kept for a spread; longer series are
// read at a stride.
constexpr std::size_t most_differences = std::size_t{1} << 16;
// Half the width of the neighbourhood of a point over which its jump is
// sought, beyond two sides: twice the candidates' merge gap (within which a
// point stands for them), as the ranks of persistent noise place a jump
// less closely.
constexpr std::size_t jump_reach = 2 * candidate_merge_gap;
// The spread of differences at the lag the variances are read from, as a
// multiple of that at lag 1 (when a lag short of the longest reaches it).
constexpr double fitted_growth = 5.0;
// Most estimates of the model, each between the points the last one kept.
constexpr int model_rounds = 4;

// 1.4826 times the median absolute deviation from the median, squared.
double robust_variance(std::vector<double>& d) {
    if (d.size() < 2) return 0.0;
    const auto middle = d.begin() + static_cast<std::ptrdiff_t>(d.size() / 2);
    std::nth_element(d.begin(), middle, d.end());
    const double median = *middle;
    for (double& v : d) v = std::abs(v - median);
    std::nth_element(d.begin(), middle, d.end());
    const double s = mad_to_sd * *middle;
    return s * s;
}

// The count of differences value(t) - value(t - lag) inside the segments
// of `cuts` in a series of n values.
std::size_t difference_total(std::size_t n, std::span<const std::uint64_t> cuts,
                             std::size_t lag) {
    std::size_t total = 0;
    std::size_t begin = 0;
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
        const std::size_t end = i < cuts.size() ? static_cast<std::size_t>(cuts[i]) : n;
        if (end > begin + lag) total += end - begin - lag;
        begin = std::max(begin, end);
    }
    return total;
}

}  // namespace

DifferenceSpread difference_spread(const ScoredSeries& series,
                                   std::span<const std::uint64_t> cuts, std::size_t lag) {
    const std::size_t n = series.size();
    if (lag == 0 || n <= lag) return {};
    const std::size_t total = difference_total(n, cuts, lag);
    std::size_t begin = 0;
    const std::size_t stride = std::max<std::size_t>(1, (total + most_differences - 1) / most_differences);
    std::vector<double> d;
    d.reserve(total / stride + cuts.size() + 1);
    begin = 0;
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
        const std::size_t end = i < cuts.size() ? static_cast<std::size_t>(cuts[i]) : n;
        for (std::size_t t = begin + lag; t < end; t += stride) {
            d.push_back(series.value(t) - series.value(t - lag));
        }
        begin = std::max(begin, end);
    }
    DifferenceSpread spread;
    spread.count = d.size();
    spread.variance = robust_variance(d);
    return spread;
}

namespace {

// The spreads of the differences inside the segments of `cuts` at lags 1,
// 2, 4, ... up to the longest that leaves seven eighths of the lag 1
// differences, K = 2^top (spreads[k] at lag 2^k, a count of 0 until
// measured), and the log ratio of the spread at K to that at K / 4, with
// its standard error (lag 0 when K is under 4).
struct LongGrowth {
    std::vector<DifferenceSpread> spreads;
    std::size_t top = 0;
    double log_ratio = 0.0;
    double error = 0.0;
    std::size_t lag = 0;
};
// spreads[k] (lag 2^k), measured when first asked for.
const DifferenceSpread& spread_at(LongGrowth& growth, const ScoredSeries& series,
                                  std::span<const std::uint64_t> cuts, std::size_t k) {
    DifferenceSpread& spread = growth.spreads[k];
    if (spread.count == 0) spread = difference_spread(series, cuts, std::size_t{1} << k);
    return spread;
}

LongGrowth long_growth(const ScoredSeries& series, std::span<const std::uint64_t> cuts) {
    LongGrowth growth;
    const std::size_t n = series.size();
    const std::size_t total_one = difference_total(n, cuts, 1);
    if (total_one < fewest_differences) return growth;
    // Only the spreads the test reads are measured here (lags 1, K / 4 and
    // K); the others as they are asked for (spread_at).
    const std::size_t least = std::max(fewest_differences, total_one - total_one / 8);
    std::size_t& top = growth.top;
    while ((std::size_t{2} << top) <= longest_lag &&
           difference_total(n, cuts, std::size_t{2} << top) >= least) {
        ++top;
    }
    growth.spreads.assign(top + 1, DifferenceSpread{});
    const DifferenceSpread& one = spread_at(growth, series, cuts, 0);
    if (top < 2 || !(one.variance > 0.0)) return growth;
    const DifferenceSpread& longest = spread_at(growth, series, cuts, top);
    const DifferenceSpread& quarter = spread_at(growth, series, cuts, top - 2);
    if (!(longest.variance > 0.0) || !(quarter.variance > 0.0)) return growth;
    growth.log_ratio = std::log(longest.variance / quarter.variance);
    growth.error = std::sqrt(log_spread_variance / static_cast<double>(longest.count) +
                             log_spread_variance / static_cast<double>(quarter.count));
    growth.lag = std::size_t{1} << top;
    return growth;
}

}  // namespace

LocalLevel estimate_local_level(const ScoredSeries& series, std::span<const std::uint64_t> cuts) {
    LocalLevel model;
    LongGrowth growth = long_growth(series, cuts);
    // A walk's spread keeps growing at long lags, where that of stationary
    // noise (AR(1) noise of the persistence the segments can show) has
    // levelled off.
    if (growth.lag == 0 || !(growth.log_ratio > walk_z * growth.error)) return model;
    const DifferenceSpread one = growth.spreads.front();
    // The differences over a long lag share most of a walk's steps: their
    // spread is read from few independent stretches. The variances come from
    // the shortest lag at which the walk's part of the spread is some four
    // times the noise's (or the longest measured, lag K).
    std::size_t fitted = 1;
    while (fitted < growth.top &&
           spread_at(growth, series, cuts, fitted).variance < fitted_growth * one.variance) {
        ++fitted;
    }
    const double step = (spread_at(growth, series, cuts, fitted).variance - one.variance) /
                        (std::ldexp(1.0, static_cast<int>(fitted)) - 1.0);
    if (!(step > 0.0)) return model;
    model.walk = true;
    model.step_variance = step;
    model.noise_variance = std::max((one.variance - step) / 2.0, 0.0);
    return model;
}

double level_jump_p_value(const ScoredSeries& series, const LocalLevel& model, std::size_t a,
                          std::size_t c, std::size_t b) {
    const std::size_t n = series.size();
    if (!(a < c && c < b && b <= n) || !(model.step_variance > 0.0)) return 1.0;
    // The side that makes the jump's deviation least: 2 e / w + s (2 w^2 + 1) / (3 w)
    // is least near w = sqrt(3 e / s).
    const double best = std::sqrt(3.0 * model.noise_variance / model.step_variance);
    const std::size_t room = std::min(c - a, b - c);
    std::size_t w = best < 1.0 ? 1 : static_cast<std::size_t>(std::llround(std::min(best, 1e9)));
    w = std::min(w, room);
    if (w == 0) return 1.0;
    const double wd = static_cast<double>(w);
    const double deviation = std::sqrt(2.0 * model.noise_variance / wd +
                                       model.step_variance * (2.0 * wd * wd + 1.0) / (3.0 * wd));
    // Splits t with t - w >= a and t + w <= b, within jump_reach and two
    // sides of c: the ranks place a jump in a walk less closely than in
    // independent noise.
    const std::size_t reach = jump_reach + 2 * w;
    const std::size_t first = std::max(c - std::min(c, reach), a + w);
    const std::size_t last = std::min(c + reach, b - w);
    if (first > last) return 1.0;
    std::vector<double> sums(last - first + 2 * w + 1, 0.0);
    for (std::size_t t = first - w; t < last + w; ++t) {
        sums[t - (first - w) + 1] = sums[t - (first - w)] + series.value(t);
    }
    double largest = 0.0;
    for (std::size_t t = first; t <= last; ++t) {
        const std::size_t i = t - (first - w);
        const double after = sums[i + w] - sums[i];
        const double before = sums[i] - sums[i - w];
        largest = std::max(largest, std::abs(after - before) / wd);
    }
    const double z = largest / deviation;
    return std::min(1.0, static_cast<double>(n) * std::erfc(z / std::numbers::sqrt2));
}

LocalLevel keep_level_jumps(const ScoredSeries& series, Selection& selection, double alpha) {
    const std::size_t n = series.size();
    const std::vector<std::uint64_t>& points = selection.points;
    // The series is a walk when it wanders as one between the points it
    // keeps. Spurious cuts in a walk sit where it moved most, and the
    // segments they leave show it quieter than it is: the model is measured
    // first between the selection's points, then again between the points
    // it kept, and the selection's points judged again with it, until the
    // kept points hold still. (Measured on the whole series, shifts in
    // independent noise, a staircase, would pass for a walk's steps.) A model
    // that is no walk once measured between the points kept leaves the
    // selection as it was.
    std::vector<std::uint64_t> cuts = points;
    LocalLevel model = estimate_local_level(series, cuts);
    const bool from_whole = !model.walk;
    if (from_whole) {
        cuts.clear();
        model = estimate_local_level(series, cuts);
        if (!model.walk) return model;
    }
    std::vector<bool> keep(points.size(), true);
    for (int round = 0; round < model_rounds; ++round) {
        std::vector<std::uint64_t> kept;
        for (std::size_t i = 0; i < points.size(); ++i) {
            const TestKind kind = selection.evidence[i].kind;
            const std::size_t c = static_cast<std::size_t>(points[i]);
            keep[i] = true;
            // A trend confirmation is a change of slope, which a jump test
            // does not judge; but where the selection's cuts hid the walk
            // altogether, they are of its wandering, cut up, and are judged
            // as the level changes are.
            if (kind == TestKind::level || (kind == TestKind::trend && from_whole)) {
                // Between its neighbours among the cuts.
                const auto above = std::upper_bound(cuts.begin(), cuts.end(), points[i]);
                const auto below = std::lower_bound(cuts.begin(), cuts.end(), points[i]);
                const std::size_t a =
                    below == cuts.begin() ? 0 : static_cast<std::size_t>(*std::prev(below));
                const std::size_t b = above == cuts.end() ? n : static_cast<std::size_t>(*above);
                keep[i] = level_jump_p_value(series, model, a, c, b) <= alpha;
            }
            if (keep[i]) kept.push_back(points[i]);
        }
        if (kept == cuts) break;
        cuts = std::move(kept);
        if (round + 1 == model_rounds) break;
        model = estimate_local_level(series, cuts);
        if (!model.walk) return model;
    }
    if (from_whole) {
        // Shifts of a staircase, or AR(1) noise beside its shifts, make the
        // whole series wander; a walk wanders between the selection's
        // points too. Between them, the spreads at the longest lags must
        // grow nearer as the model has them than not at all.
        const LongGrowth growth = long_growth(series, points);
        if (growth.lag == 0) return LocalLevel{};
        const double lag = static_cast<double>(growth.lag);
        const double expected =
            std::log((2.0 * model.noise_variance + lag * model.step_variance) /
                     (2.0 * model.noise_variance + lag / 4.0 * model.step_variance));
        if (!(growth.log_ratio > expected / 2.0)) return LocalLevel{};
    }
    Selection kept;
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (!keep[i]) continue;
        kept.points.push_back(points[i]);
        kept.evidence.push_back(selection.evidence[i]);
    }
    selection = std::move(kept);
    return model;
}

}  // namespace quarn
