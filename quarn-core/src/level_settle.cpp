// The settling of a level split found on the ranks on the values: the
// medians of the sides, their median absolute deviations, and the split of
// least Huber loss near the ranks' split.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <functional>
#include <limits>
#include <span>
#include <vector>

#include "quarn/scores.hpp"
#include "quarn/select.hpp"

namespace quarn {

namespace {

// The corner of the Huber loss that settles a level split, in noise standard
// deviations: the loss keeps 95% of the efficiency of least squares on
// Gaussian noise.
constexpr double huber_width = 1.345;
// Variance of the log of the median absolute deviation of n Gaussian values,
// times n (for large n): the deviation has 37% of the efficiency of the
// standard deviation.
constexpr double mad_log_variance = 1.36;
// Longest side whose median is taken on a copy of it (see median_of).
constexpr std::size_t settle_copied_limit = std::size_t{1} << 18;

// The median of value(t), t < count, as median_of gives it with
// settle_copied_limit: up to that length the values are written in index
// order into `work` (kept between the medians of one settling, so that no
// median allocates) and their median taken there, as median_of does on its
// own copy; longer ones go to median_of.
template <class Value>
double side_median(std::size_t count, const Value& value, std::vector<double>& work) {
    if (count > settle_copied_limit) {
        return median_of(count, std::function<double(std::size_t)>(value), false, nullptr,
                         settle_copied_limit);
    }
    work.resize(count);
    for (std::size_t t = 0; t < count; ++t) work[t] = value(t);
    return median_in_place(std::span<double>(work.data(), count));
}

// A level split found on the ranks settled on the values: the sides' levels
// are taken as the medians of the values on either side of `start`, the
// noise scale as the median absolute deviation from them, and the split
// chosen minimises the sum of Huber losses of every value from the level of
// its side. The ranks carry no magnitude: the highest values of the low side
// rank next to the high side's, and the rank CUSUM's maximum may drift a few
// values into the low side even at a step of many noise deviations. The
// Huber loss weighs a value's distance from each level as least squares do
// near the levels and as the absolute distance beyond huber_width
// deviations, so outliers and heavy tails move the split no further than
// they move the ranks' split. Only levels more than two corners apart, on
// sides of like spread, are settled so, and only within half
// candidate_merge_gap of `start` (see settled_level_split in select.hpp).
// Ties go to the split nearest `start`.
// y(t) is value t of the stretch, t < m.
template <class Values>
std::size_t settle(std::size_t m, const Values& y, std::size_t start) {
    if (m < 2 || start == 0 || start >= m) return start;
    std::vector<double> work;
    work.reserve(std::min(m, settle_copied_limit));
    const double left = side_median(start, [&y](std::size_t t) { return y(t); }, work);
    const double right =
        side_median(m - start, [&y, start](std::size_t t) { return y(start + t); }, work);
    if (!(left != right)) return start;  // equal levels (or no median): nothing to settle
    // One noise scale for both sides: a value's loss then differs between
    // the levels by at most their distance, however wild the value. Where
    // the sides' own scales differ as a change of spread would (their log
    // ratio spread_change_z standard errors from 0, a median absolute
    // deviation's log varying as 1.36 / n), one scale misjudges which level
    // a value between them fits, and the ranks' split stands.
    const auto deviation_of = [&](std::size_t from, std::size_t count, double level) {
        return side_median(
            count, [&y, from, level](std::size_t t) { return std::abs(y(from + t) - level); },
            work);
    };
    const double left_deviation = deviation_of(0, start, left);
    const double right_deviation = deviation_of(start, m - start, right);
    if (left_deviation > 0.0 && right_deviation > 0.0) {
        const double error = std::sqrt(mad_log_variance / static_cast<double>(start) +
                                       mad_log_variance / static_cast<double>(m - start));
        if (std::abs(std::log(right_deviation / left_deviation)) > spread_change_z * error) {
            return start;
        }
    }
    // The deviation of the stretch, a median of the two sides' deviations
    // together, is no smaller than the smaller of theirs: levels within two
    // corners of that stay as the ranks put them without it.
    const double narrower = std::min(left_deviation, right_deviation);
    if (!(std::abs(right - left) > 2.0 * (huber_width * mad_to_sd * narrower))) return start;
    const double deviation = side_median(
        m, [&y, start, left, right](std::size_t t) {
            return std::abs(y(t) - (t < start ? left : right));
        },
        work);
    // Huber's loss with its corner at `width`, divided by `width`: the
    // absolute distance where the values have no spread.
    const double width = huber_width * mad_to_sd * deviation;
    // Levels nearer than two corners share values that fit either: the
    // magnitudes then tell the sides apart no better than the ranks, and
    // the ranks' split stands.
    if (!(std::abs(right - left) > 2.0 * width)) return start;
    const auto loss = [width](double r) {
        const double size = std::abs(r);
        if (size >= width) return size - 0.5 * width;
        return 0.5 * size * size / width;
    };
    // cost(k) - cost(from) = the sum over from <= t < k of the loss at the
    // left level less the loss at the right level, for the splits at most
    // half candidate_merge_gap from `start`: the values settle the ranks'
    // drift of a few values next to the step, not the whole stretch again
    // (in persistent noise the values just past a step may stay nearer the
    // old level for long, and the values would follow them).
    const std::size_t reach = static_cast<std::size_t>(candidate_merge_gap) / 2;
    const std::size_t from = start > reach ? start - reach : 1;
    const std::size_t to = std::min(m - 1, start + reach);
    double running = 0.0, best = std::numeric_limits<double>::infinity();
    std::size_t arg = start;
    for (std::size_t k = from; k <= to; ++k) {
        if (k > from) {
            const double v = y(k - 1);
            running += loss(v - left) - loss(v - right);
        }
        const std::size_t distance = k < start ? start - k : k - start;
        const std::size_t held = arg < start ? start - arg : arg - start;
        if (running < best || (running == best && distance < held)) {
            best = running;
            arg = k;
        }
    }
    return arg;
}

}  // namespace

std::size_t settled_level_split(std::span<const double> y, std::size_t start) {
    return settle(y.size(), [y](std::size_t t) { return y[t]; }, start);
}

std::size_t settled_level_split(const ScoredSeries& series, std::size_t from, std::size_t to,
                                std::size_t start) {
    const std::size_t m = to - from;
    // A stretch whose medians are taken on copies is read once into one of
    // its own; a longer one (which may be the whole series) is read in place.
    if (m > settle_copied_limit) {
        return settle(m, [&series, from](std::size_t t) { return series.value(from + t); }, start);
    }
    std::vector<double> values(m);
    for (std::size_t t = 0; t < m; ++t) values[t] = series.value(from + t);
    return settled_level_split(values, start);
}

}  // namespace quarn
