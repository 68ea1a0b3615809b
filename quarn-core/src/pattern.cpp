#include "quarn/pattern.hpp"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <numeric>
#include <utility>
#include <vector>

#include "quarn/dependence.hpp"

namespace quarn {

namespace {

// The autocorrelation is the mean of that of 4 stretches, a quarter of the
// series each, of at most 16,384 values.
constexpr std::size_t period_chunks = 4;
constexpr std::size_t autocorrelation_stretch = 65536;
// A peak of the autocorrelation below 0.2, or below 6 standard errors of
// an autocorrelation of noise, is no cycle.
constexpr double period_peak = 0.2;
constexpr double chance_peak = 6.0;
// The blocks' means are features only when the quarters' own cycles hold
// at least this share of the squares.
constexpr double cycle_share = 0.5;
// Blocks hold one period, and at least 12 values.
constexpr std::size_t smallest_block = 12;
// Fewer blocks than this are not searched; more than `most_rows` are
// grouped into rows of several blocks, which bounds the permutations' cost.
constexpr std::size_t fewest_rows = 8;
constexpr std::size_t most_rows = 4096;
// No side of a split holds fewer rows.
constexpr std::size_t side_rows = 3;
// A split is named after the level or the spread when its squared CUSUM is
// at least this share of the largest feature's.
constexpr double lead_share = 0.8;
const double spread_ratio = std::log(1.5);
// A change is placed by the values of this many rows on each side.
constexpr std::size_t placement_rows = 3;
// A split whose sides each rise the step's way by this many times the share
// of squares a line takes from noise is a slow drift when a line fits as
// well as the step.
constexpr double drift_trend = 1.5;
// Lags of the difference features: twice the block, halved up to 8 times.
constexpr std::size_t lag_count = 8;
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

bool stop_asked(const RunControl* control) {
    return control != nullptr && control->stop_requested();
}

// The lags of the difference features for blocks of w values.
std::vector<std::size_t> feature_lags(std::size_t w) {
    std::vector<std::size_t> lags;
    for (std::size_t k = 0; k < lag_count; ++k) {
        const std::size_t h = (2 * w) >> k;
        if (h == 0) break;
        if (lags.empty() || lags.back() != h) lags.push_back(h);
    }
    return lags;
}

// The first value of the lag-h pair centred on t, kept inside [0, n).
std::size_t pair_start(std::size_t t, std::size_t h, std::size_t n) {
    const std::size_t half = h / 2;
    const std::size_t first = t >= half ? t - half : 0;
    return std::min(first, n - 1 - h);
}

// Features of the rows: row r covers [r * length, (r + 1) * length), the
// last one up to n. Row-major, `width` features per row.
struct Features {
    std::size_t rows = 0;
    std::size_t width = 0;
    std::size_t length = 0;
    std::vector<double> values;
};

Features row_features(std::size_t n, const ValueAt& x, std::size_t length,
                      std::span<const std::size_t> lags, bool with_level,
                      const RunControl* control) {
    Features features;
    features.length = length;
    features.rows = n / length;
    features.width = 2 + lags.size() + (with_level ? 1 : 0);
    features.values.resize(features.rows * features.width);
    const std::size_t reach = lags.empty() ? 0 : lags.front();
    const auto row_end = [&features, n, length](std::size_t r) {
        return r + 1 == features.rows ? n : (r + 1) * length;
    };
    std::vector<double> means(features.rows);
    for (std::size_t r = 0; r < features.rows; ++r) {
        double sum = 0.0;
        for (std::size_t t = r * length; t < row_end(r); ++t) sum += x(t);
        means[r] = sum / static_cast<double>(row_end(r) - r * length);
    }
    std::vector<double> buffer;
    for (std::size_t r = 0; r < features.rows; ++r) {
        if (r % 64 == 0 && stop_asked(control)) return Features{};
        const std::size_t s = r * length;
        const std::size_t e = row_end(r);
        // Every pair of the row lies inside [from, to).
        const std::size_t from = s > reach ? s - reach : 0;
        const std::size_t to = std::min(n, e + reach);
        buffer.resize(to - from);
        for (std::size_t t = from; t < to; ++t) buffer[t - from] = x(t);
        // The features are those of the values around the trend that the
        // neighbouring rows' means draw (rows of whole cycles have the same
        // mean), so that a trend, and a change of trend, is no change of
        // pattern.
        const double count = static_cast<double>(e - s);
        const double centre = static_cast<double>(e - s - 1) / 2.0;
        const double mean = means[r];
        const std::size_t before = r > 0 ? r - 1 : r;
        const std::size_t after = r + 1 < features.rows ? r + 1 : r;
        const double slope = after > before ? (means[after] - means[before]) /
                                                  static_cast<double>((after - before) * length)
                                            : 0.0;
        double m2 = 0.0, m3 = 0.0;
        for (std::size_t t = s; t < e; ++t) {
            const double d = buffer[t - from] - mean - slope * (static_cast<double>(t - s) - centre);
            m2 += d * d;
            m3 += d * d * d;
        }
        m2 /= count;
        m3 /= count;
        const double sd = std::sqrt(m2);
        double* row = &features.values[r * features.width];
        row[0] = sd;
        row[1] = sd > 0.0 ? m3 / (m2 * sd) : 0.0;
        for (std::size_t j = 0; j < lags.size(); ++j) {
            const std::size_t h = lags[j];
            const double rise = slope * static_cast<double>(h);
            double sum = 0.0;
            for (std::size_t t = s; t < e; ++t) {
                const std::size_t a = pair_start(t, h, n);
                sum += std::abs(buffer[a + h - from] - buffer[a - from] - rise);
            }
            row[2 + j] = sd > 0.0 ? sum / count / sd : 0.0;
        }
        if (with_level) row[features.width - 1] = mean;
    }
    return features;
}

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

struct SplitTest {
    std::size_t split = 0;  // rows on the left
    double p_value = 1.0;
    std::size_t lead = 0;  // the column of the largest weighted squared CUSUM
};

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

// The value in [from, to] that best splits [a, b) by the lag differences:
// the largest sum over the lags of the squared standardised CUSUMs of
// |x(t + h) - x(t)| over the pairs centred on each value, and of the
// squares around the stretch's mean. Lags above `longest` are left out:
// their pairs reach far across the change and blur its place.
std::size_t place_change(const ValueAt& x, std::size_t a, std::size_t b, std::size_t from,
                         std::size_t to, std::span<const std::size_t> lags, std::size_t longest) {
    std::vector<double> segment(b - a);
    for (std::size_t t = a; t < b; ++t) segment[t - a] = x(t);
    const std::size_t m = b - a;
    const double md = static_cast<double>(m);
    std::vector<double> score(to - from + 1, 0.0);
    double centre = 0.0;
    for (const double v : segment) centre += v;
    centre /= md;
    std::vector<double> g(m);
    // Lag 0 stands for the squares around the stretch's mean.
    std::vector<std::size_t> all{0};
    all.insert(all.end(), lags.begin(), lags.end());
    for (const std::size_t h : all) {
        if (h + 1 >= m || h > longest) continue;
        double mean = 0.0;
        for (std::size_t t = 0; t < m; ++t) {
            if (h == 0) {
                g[t] = (segment[t] - centre) * (segment[t] - centre);
            } else {
                const std::size_t s = pair_start(t, h, m);
                g[t] = std::abs(segment[s + h] - segment[s]);
            }
            mean += g[t];
        }
        mean /= md;
        double squares = 0.0;
        for (const double v : g) squares += (v - mean) * (v - mean);
        const double variance = squares / md;
        if (!(variance > 0.0)) continue;
        double running = 0.0;
        for (std::size_t t = 0; t + a < to; ++t) {
            running += g[t] - mean;
            const std::size_t c = a + t + 1;
            if (c < from) continue;
            const double k = static_cast<double>(t + 1);
            score[c - from] += running * running / (variance * k * (md - k) / md);
        }
    }
    std::size_t best = from;
    for (std::size_t c = from; c <= to; ++c) {
        if (score[c - from] > score[best - from]) best = c;
    }
    return best;
}

// The value in [from, to] with the largest standardised CUSUM of x over [a, b).
std::size_t place_level(const ValueAt& x, std::size_t a, std::size_t b, std::size_t from,
                        std::size_t to) {
    const double md = static_cast<double>(b - a);
    double total = 0.0;
    for (std::size_t t = a; t < b; ++t) total += x(t);
    const double mean = total / md;
    double running = 0.0, best = -1.0;
    std::size_t arg = from;
    for (std::size_t t = a; t < to; ++t) {
        running += x(t) - mean;
        const std::size_t c = t + 1;
        if (c < from) continue;
        const double k = static_cast<double>(c - a);
        const double score = std::abs(running) / std::sqrt(k * (md - k) / md);
        if (score > best) {
            best = score;
            arg = c;
        }
    }
    return arg;
}

}  // namespace

namespace {

struct Cycle {
    std::optional<std::size_t> period;
    // The share of the quarters' squares around the overall mean that lies
    // around their own means.
    double within = 0.0;
};

Cycle autocorrelation_cycle(std::size_t n, const ValueAt& x) {
    Cycle cycle;
    if (n < 16) return cycle;
    // Each quarter is centred on its own mean, so that level shifts and a
    // slow wander do not pass for a long cycle.
    const std::size_t length = std::min(n / period_chunks, autocorrelation_stretch / period_chunks);
    if (length < 8) return cycle;
    std::size_t size = 1;
    while (size < 2 * length) size *= 2;
    // The autocovariances read: lags 0 .. length / 3.
    const std::size_t last = length / 3;
    const std::size_t lags_read = last + 1;
    std::vector<double> covariance(lags_read, 0.0);
    std::vector<std::complex<double>> data(size);
    const std::vector<std::complex<double>> twiddles = fourier_twiddles(size);
    std::vector<double> means(period_chunks);
    for (std::size_t chunk = 0; chunk < period_chunks; ++chunk) {
        const std::size_t start = chunk * (n / period_chunks) + (n / period_chunks - length) / 2;
        // Each value read once, held in the transform's input until centred.
        double mean = 0.0;
        for (std::size_t t = 0; t < length; ++t) {
            const double v = x(start + t);
            data[t] = {v, 0.0};
            mean += v;
        }
        mean /= static_cast<double>(length);
        means[chunk] = mean;
        for (std::size_t t = 0; t < length; ++t) data[t] = data[t].real() - mean;
        std::fill(data.begin() + static_cast<std::ptrdiff_t>(length), data.end(),
                  std::complex<double>());
        fourier_transform(data, twiddles);
        // The power is real and even: its forward transform is its inverse
        // times the size. Only the lags up to `last` (below) are read.
        for (auto& v : data) v = std::norm(v);
        fourier_transform_lowest(data, twiddles, lags_read);
        for (std::size_t h = 0; h < lags_read; ++h) covariance[h] += data[h].real();
    }
    const double c0 = covariance[0];
    if (!(c0 > 0.0)) return cycle;
    double overall = 0.0;
    for (const double m : means) overall += m;
    overall /= static_cast<double>(period_chunks);
    double between = 0.0;
    for (const double m : means) between += static_cast<double>(length) * (m - overall) * (m - overall);
    cycle.within = c0 / (c0 + between);
    std::size_t lag = 1;
    while (lag <= last && covariance[lag] >= 0.0) ++lag;
    if (lag > last) return cycle;
    std::size_t best = lag;
    for (std::size_t h = lag; h <= last; ++h) {
        if (covariance[h] > covariance[best]) best = h;
    }
    // Noise gives autocorrelations of about one standard error,
    // 1 / sqrt(values read), at every lag.
    const double chance = chance_peak / std::sqrt(static_cast<double>(period_chunks * length));
    if (covariance[best] / c0 < std::max(period_peak, chance)) return cycle;
    cycle.period = best;
    return cycle;
}

}  // namespace

std::optional<std::size_t> dominant_period(std::size_t n, const ValueAt& x) {
    return autocorrelation_cycle(n, x).period;
}

PatternSearch pattern_changes(std::size_t n, const ValueAt& x, const PatternArguments& arguments) {
    PatternSearch search;
    if (n < fewest_rows * 4 || !(arguments.alpha > 0.0)) return search;
    // A series without a cycle repeats no pattern to change.
    const Cycle cycle = autocorrelation_cycle(n, x);
    search.period = cycle.period;
    if (!search.period && arguments.period && *arguments.period >= 2.0) {
        search.period = static_cast<std::size_t>(std::llround(*arguments.period));
    }
    if (!search.period) return search;
    std::size_t block = std::max(*search.period, smallest_block);
    block = std::min(block, n / fewest_rows);
    if (block < 4) return search;
    const std::vector<std::size_t> lags = feature_lags(block);
    const std::size_t group = (n / block + most_rows - 1) / most_rows;
    // The blocks' means join the features only where the cycle, not the
    // differences of level between the quarters, holds most of the squares,
    // and where a block holds a whole cycle (so that its mean does not
    // follow the cycle's phase).
    search.with_level =
        arguments.with_level && cycle.within >= cycle_share && block >= *search.period;
    const Features features =
        row_features(n, x, block * group, lags, search.with_level, arguments.control);
    if (features.rows < 2 * side_rows) {
        search.with_level = false;
        return search;
    }
    search.block = features.length;
    const auto row_start = [&features](std::size_t r) { return r * features.length; };
    const auto row_end = [&features, n](std::size_t r) {
        return r + 1 == features.rows ? n : (r + 1) * features.length;
    };
    std::vector<std::pair<std::size_t, std::size_t>> pending{{0, features.rows}};
    while (!pending.empty()) {
        const auto [lo, hi] = pending.back();
        pending.pop_back();
        if (hi - lo < 2 * side_rows) continue;
        if (stop_asked(arguments.control)) break;
        const SplitTest test =
            test_rows(features, lo, hi, arguments.alpha, arguments.seed, search.with_level,
                      arguments.control);
        if (!(test.p_value <= arguments.alpha)) continue;
        const std::size_t r = lo + test.split;
        const std::size_t boundary = row_start(r);
        // The change is placed on the rows around the split only, which a
        // further change farther away does not pull.
        const std::size_t a = row_start(r - std::min(r - lo, placement_rows));
        const std::size_t b = row_end(std::min(hi, r + placement_rows) - 1);
        const std::size_t from = std::max(a + 1, boundary - std::min(boundary, features.length));
        const std::size_t to = std::min(b - 1, boundary + features.length);
        ChangeKind kind = ChangeKind::pattern;
        if (test.lead == 0) kind = ChangeKind::spread;
        if (search.with_level && test.lead + 1 == features.width) kind = ChangeKind::level;
        const std::size_t position = kind == ChangeKind::level
                                         ? place_level(x, a, b, from, to)
                                         : place_change(x, a, b, from, to, lags, block / 2);
        search.changes.push_back({position, test.p_value, kind});
        pending.emplace_back(lo, r);
        pending.emplace_back(r, hi);
    }
    std::sort(search.changes.begin(), search.changes.end(),
              [](const PatternChange& p, const PatternChange& q) { return p.position < q.position; });
    return search;
}

}  // namespace quarn
