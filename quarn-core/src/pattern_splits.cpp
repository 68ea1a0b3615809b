// The split search of the pattern-change search and its permutation test:
// the rows' features ranked, the split with the largest weighted CUSUM,
// the correction of its weights for correlated rows, and the p-value of
// the split among permutations of the rows.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <span>
#include <utility>
#include <vector>

#include "quarn/dependence.hpp"
#include "pattern_internal.hpp"

namespace quarn::pattern_detail {

namespace {

// A split is named after the level or the spread when its squared CUSUM is
// at least this share of the largest feature's.
constexpr double lead_share = 0.8;
const double spread_ratio = std::log(1.5);
// A split whose sides each rise the step's way by this many times the share
// of squares a line takes from noise is a slow drift when a line fits as
// well as the step.
constexpr double drift_trend = 1.5;
// Permutations per test: enough for p-values ten times finer than alpha.
constexpr std::size_t fewest_permutations = 499;
constexpr std::size_t most_permutations = 4999;

// splitmix64: the same stream on every platform.
class Generator {
  public:
    explicit Generator(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = state_ += 0x9E3779B97F4A7C15ull;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, k) for k well below 2^32.
    std::size_t below(std::size_t k) {
        return static_cast<std::size_t>((next() >> 32) * static_cast<std::uint64_t>(k) >> 32);
    }

  private:
    std::uint64_t state_;
};

// Rank scores in (-1/2, 1/2), ties sharing their mean rank.
void rank_scores_into(std::vector<double>& column) {
    const std::size_t m = column.size();
    std::vector<std::size_t> order(m);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&column](std::size_t i, std::size_t j) { return column[i] < column[j]; });
    std::vector<double> scores(m);
    for (std::size_t i = 0; i < m;) {
        std::size_t j = i;
        while (j + 1 < m && column[order[j + 1]] == column[order[i]]) ++j;
        const double mid = (static_cast<double>(i) + static_cast<double>(j)) / 2.0;
        const double score = (mid + 0.5) / static_cast<double>(m) - 0.5;
        for (std::size_t k = i; k <= j; ++k) scores[order[k]] = score;
        i = j + 1;
    }
    column = std::move(scores);
}

// The ranked features of rows [lo, hi), centred, row-major.
struct Ranked {
    std::size_t m = 0;
    std::size_t width = 0;
    std::vector<double> u;
    std::vector<double> variance;
};

Ranked ranked_rows(const Features& features, std::size_t lo, std::size_t hi) {
    Ranked ranked;
    ranked.m = hi - lo;
    ranked.width = features.width;
    ranked.u.resize(ranked.m * ranked.width);
    ranked.variance.assign(ranked.width, 0.0);
    std::vector<double> column(ranked.m);
    for (std::size_t j = 0; j < ranked.width; ++j) {
        for (std::size_t i = 0; i < ranked.m; ++i) {
            column[i] = features.values[(lo + i) * features.width + j];
        }
        rank_scores_into(column);
        double mean = 0.0;
        for (const double v : column) mean += v;
        mean /= static_cast<double>(ranked.m);
        double squares = 0.0;
        for (std::size_t i = 0; i < ranked.m; ++i) {
            const double v = column[i] - mean;
            ranked.u[i * ranked.width + j] = v;
            squares += v * v;
        }
        ranked.variance[j] = squares / static_cast<double>(ranked.m);
    }
    return ranked;
}

// The largest weighted sum of squared standardised CUSUMs over the splits
// with at least side_rows rows a side, rows taken in `order` (or as they
// are), and the first split that reaches it.
std::pair<double, std::size_t> largest_split(const Ranked& ranked, std::span<const double> weight,
                                             const std::size_t* order) {
    const std::size_t m = ranked.m, width = ranked.width;
    std::vector<double> running(width, 0.0);
    double best = -1.0;
    std::size_t arg = side_rows;
    const double md = static_cast<double>(m);
    for (std::size_t k = 1; k + side_rows <= m; ++k) {
        const std::size_t row = order != nullptr ? order[k - 1] : k - 1;
        const double* u = &ranked.u[row * width];
        for (std::size_t j = 0; j < width; ++j) running[j] += u[j];
        if (k < side_rows) continue;
        const double kd = static_cast<double>(k);
        double total = 0.0;
        for (std::size_t j = 0; j < width; ++j) total += weight[j] * running[j] * running[j];
        total /= kd * (md - kd) / md;
        if (total > best) {
            best = total;
            arg = k;
        }
    }
    return {best, arg};
}

// The split of v[0 .. m) with the largest standardised CUSUM, at least
// side_rows a side; 0 when m is too short for one.
std::size_t best_column_split(std::span<const double> v) {
    const std::size_t m = v.size();
    if (m < 2 * side_rows) return 0;
    double total = 0.0;
    for (const double x : v) total += x;
    const double md = static_cast<double>(m);
    double running = 0.0, best = -1.0;
    std::size_t arg = 0;
    for (std::size_t k = 1; k + side_rows <= m; ++k) {
        running += v[k - 1];
        if (k < side_rows) continue;
        const double kd = static_cast<double>(k);
        const double z = std::abs(running - kd / md * total) / std::sqrt(kd * (md - kd) / md);
        if (z > best) {
            best = z;
            arg = k;
        }
    }
    return arg;
}

// How much the correlation of neighbouring rows inflates the variance of a
// column's sums: Bartlett's long-run variance of the residuals over their
// variance, at least 1. The residuals are taken around the means of the
// two sides of `split`, each cut again at its own best split when `recut`,
// so that a further change on either side is not taken for correlation.
//
// With `wander` (the blocks' means) the residuals are taken around the
// column's mean instead, and the factor is at least the AR(1) variance ratio
// of their lag-1 correlation: a slow wander of the baseline correlates the
// means of rows far apart, and the two sides' means would take the wander's
// largest swing out of the residuals, and with it the correlation that
// makes such a swing no change.
double long_run_factor(const Ranked& ranked, std::size_t j, std::size_t split, bool recut,
                       bool wander) {
    const std::size_t m = ranked.m, width = ranked.width;
    std::vector<double> e(m);
    for (std::size_t i = 0; i < m; ++i) e[i] = ranked.u[i * width + j];
    if (wander) {
        split = m;
        recut = false;
    }
    std::vector<std::size_t> bounds{0};
    for (const auto& [a, b] : {std::pair{std::size_t{0}, split}, std::pair{split, m}}) {
        if (b == a) continue;
        const std::size_t cut =
            recut ? best_column_split(std::span<const double>(e).subspan(a, b - a)) : 0;
        if (cut > 0) bounds.push_back(a + cut);
        bounds.push_back(b);
    }
    for (std::size_t s = 0; s + 1 < bounds.size(); ++s) {
        double mean = 0.0;
        for (std::size_t i = bounds[s]; i < bounds[s + 1]; ++i) mean += e[i];
        mean /= static_cast<double>(bounds[s + 1] - bounds[s]);
        for (std::size_t i = bounds[s]; i < bounds[s + 1]; ++i) e[i] -= mean;
    }
    double c0 = 0.0;
    for (const double v : e) c0 += v * v;
    if (!(c0 > 0.0)) return 1.0;
    const std::size_t bandwidth =
        static_cast<std::size_t>(std::ceil(std::sqrt(static_cast<double>(m))));
    double factor = 1.0, lag_one = 0.0;
    for (std::size_t l = 1; l <= bandwidth && l < m; ++l) {
        double c = 0.0;
        for (std::size_t i = l; i < m; ++i) c += e[i] * e[i - l];
        if (l == 1) lag_one = c / c0;
        const double taper =
            1.0 - static_cast<double>(l) / static_cast<double>(bandwidth + 1);
        factor += 2.0 * taper * c / c0;
    }
    if (wander) {
        factor = std::max(factor,
                          ar1_variance_ratio(std::clamp(lag_one, 0.0, max_autocorrelation)));
    }
    return std::max(factor, 1.0);
}

// The median spread of rows [lo, hi).
double side_spread(const Features& features, std::size_t lo, std::size_t hi) {
    std::vector<double> spreads;
    for (std::size_t r = lo; r < hi; ++r) spreads.push_back(features.values[r * features.width]);
    std::sort(spreads.begin(), spreads.end());
    const std::size_t m = spreads.size();
    return m % 2 == 1 ? spreads[m / 2] : (spreads[m / 2 - 1] + spreads[m / 2]) / 2.0;
}

// Whether the ranked features around `split` change as a slow drift rather
// than as a step. A cycle whose length drifts slowly moves the features of
// blocks of a fixed length slowly (its phase slides against the blocks), and
// the sides of any split of such rows differ. It is taken for a drift when,
// on the rows within the shorter side's length of the split, a line in the
// row's place leaves no more weighted squares than the two sides' means, and
// each side on its own still rises the way of the step: a step with further
// changes on one side leaves the other side flat.
bool drift_rather_than_step(const Ranked& ranked, std::span<const double> weight,
                            std::size_t split) {
    const std::size_t width = ranked.width;
    const std::size_t half = std::min(split, ranked.m - split);
    const std::size_t lo = split - half, hi = split + half;
    if (half < side_rows) return false;
    // Sums of the centred row places on a stretch of k rows.
    const auto place_squares = [](std::size_t k) {
        const double kd = static_cast<double>(k);
        return kd * (kd * kd - 1.0) / 12.0;
    };
    const auto place = [](std::size_t i, std::size_t k) {
        return static_cast<double>(i) - static_cast<double>(k - 1) / 2.0;
    };
    double step = 0.0, line = 0.0;
    std::vector<double> rise(width, 0.0);
    for (std::size_t j = 0; j < width; ++j) {
        if (!(weight[j] > 0.0)) continue;
        double left = 0.0, right = 0.0, sum = 0.0, squares = 0.0, along = 0.0;
        for (std::size_t i = lo; i < hi; ++i) {
            const double u = ranked.u[i * width + j];
            (i < split ? left : right) += u;
            sum += u;
            squares += u * u;
            along += place(i - lo, hi - lo) * u;
        }
        const double hd = static_cast<double>(half);
        const double around = squares - sum * sum / (2.0 * hd);
        step += weight[j] * (squares - (left * left + right * right) / hd);
        line += weight[j] * (around - along * along / place_squares(hi - lo));
        rise[j] = right - left;
    }
    if (!(line <= step)) return false;
    // On each side, the weighted squares that a line along the step's way
    // takes: noise gives about one k-th of the side's squares on k rows.
    for (const auto& [a, b] : {std::pair{lo, split}, std::pair{split, hi}}) {
        const std::size_t k = b - a;
        double along_step = 0.0, total = 0.0;
        for (std::size_t j = 0; j < width; ++j) {
            if (!(weight[j] > 0.0)) continue;
            double mean = 0.0;
            for (std::size_t i = a; i < b; ++i) mean += ranked.u[i * width + j];
            mean /= static_cast<double>(k);
            double cross = 0.0, squares = 0.0;
            for (std::size_t i = a; i < b; ++i) {
                const double v = ranked.u[i * width + j] - mean;
                cross += place(i - a, k) * v;
                squares += v * v;
            }
            const double explained = cross * cross / place_squares(k);
            along_step += weight[j] * (cross * rise[j] >= 0.0 ? explained : -explained);
            total += weight[j] * squares;
        }
        if (!(total > 0.0) || along_step < drift_trend * total / static_cast<double>(k)) {
            return false;
        }
    }
    return true;
}

}  // namespace

SplitTest test_rows(const Features& features, std::size_t lo, std::size_t hi, double alpha,
                    std::uint64_t seed, bool with_level, const RunControl* control) {
    SplitTest test;
    const Ranked ranked = ranked_rows(features, lo, hi);
    std::vector<double> weight(ranked.width, 0.0);
    for (std::size_t j = 0; j < ranked.width; ++j) {
        if (ranked.variance[j] > 0.0) weight[j] = 1.0 / ranked.variance[j];
    }
    const auto [plain, first_split] = largest_split(ranked, weight, nullptr);
    if (!(plain > 0.0)) return test;
    std::vector<double> adjusted(weight);
    for (std::size_t j = 0; j < ranked.width; ++j) {
        // A slow wander of the level would be cut into steps: the blocks'
        // means keep the correlation of the wander.
        const bool level = with_level && j + 1 == ranked.width;
        if (weight[j] > 0.0) adjusted[j] /= long_run_factor(ranked, j, first_split, !level, level);
    }
    const auto [observed, split] = largest_split(ranked, adjusted, nullptr);
    test.split = split;
    {
        // The lead is the level (the last column, when there), else the
        // spread (the first), when it differs nearly as much as the column
        // that differs most (and the spreads differ by a factor of 1.5 at
        // least); else that column.
        std::vector<double> running(ranked.width, 0.0);
        for (std::size_t i = 0; i < split; ++i) {
            for (std::size_t j = 0; j < ranked.width; ++j) running[j] += ranked.u[i * ranked.width + j];
        }
        std::vector<double> strength(ranked.width);
        for (std::size_t j = 0; j < ranked.width; ++j) strength[j] = weight[j] * running[j] * running[j];
        const double most = *std::max_element(strength.begin(), strength.end());
        const std::size_t last = ranked.width - 1;
        if (with_level && strength[last] >= lead_share * most) {
            test.lead = last;
        } else if (strength[0] >= lead_share * most &&
                   std::abs(std::log(side_spread(features, lo + split, hi) /
                                     side_spread(features, lo, lo + split))) >= spread_ratio) {
            test.lead = 0;
        } else {
            test.lead = static_cast<std::size_t>(std::max_element(strength.begin(), strength.end()) -
                                                 strength.begin());
        }
    }
    const std::size_t permutations = std::clamp<std::size_t>(
        static_cast<std::size_t>(std::ceil(10.0 / alpha)) - 1, fewest_permutations,
        most_permutations);
    // Past this many permuted statistics at or above the observed one the
    // p-value cannot reach alpha.
    const double allowed = alpha * static_cast<double>(permutations + 1) - 1.0;
    Generator generator(seed ^ (static_cast<std::uint64_t>(lo) << 32) ^
                        static_cast<std::uint64_t>(hi));
    std::vector<std::size_t> order(ranked.m);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::size_t above = 0, done = 0;
    for (; done < permutations; ++done) {
        if (done % 32 == 0 && stop_asked(control)) return SplitTest{};
        for (std::size_t i = ranked.m - 1; i > 0; --i) {
            std::swap(order[i], order[generator.below(i + 1)]);
        }
        if (largest_split(ranked, weight, order.data()).first >= observed) ++above;
        if (static_cast<double>(above) > allowed) return SplitTest{split, 1.0, test.lead};
    }
    test.p_value = static_cast<double>(above + 1) / static_cast<double>(permutations + 1);
    const bool named = (with_level && test.lead + 1 == ranked.width) || test.lead == 0;
    if (!named && drift_rather_than_step(ranked, adjusted, split)) test.p_value = 1.0;
    return test;
}

}  // namespace quarn::pattern_detail
