#include "quarn/select.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <queue>
#include <utility>
#include <vector>

#include "quarn/scores.hpp"

namespace quarn {

namespace {

// Sides of a relocated trend split hold at least this many values.
constexpr std::size_t min_trend_side = 3;
// Variance ratios this many standard errors from 1 name a change of spread.
constexpr double spread_z = 2.5;

struct Pending {
    double p_value;
    std::uint64_t position;
    std::size_t index;
    std::uint64_t version;
};

// Largest p-value on top; among equal p-values the leftmost candidate.
struct WeakestFirst {
    bool operator()(const Pending& x, const Pending& y) const {
        if (x.p_value != y.p_value) return x.p_value < y.p_value;
        return x.position > y.position;
    }
};

// The first k in [from, to) with the largest score(k): a later k wins only
// with a strictly larger score, and a NaN score never wins.
template <class Score>
std::size_t first_best(std::size_t from, std::size_t to, Score score) {
    double best = -std::numeric_limits<double>::infinity();
    std::size_t arg = from;
    for (std::size_t k = from; k < to; ++k) {
        const double value = score(k);
        if (value > best) {
            best = value;
            arg = k;
        }
    }
    return arg;
}

std::size_t best_level_split(std::span<const double> u) {
    const std::size_t m = u.size();
    const double md = static_cast<double>(m);
    double total = 0.0;
    for (const double v : u) total += v;
    std::vector<double> running(m);
    double sum = 0.0;
    for (std::size_t k = 0; k < m; ++k) running[k] = sum += u[k];
    return first_best(1, m, [&](std::size_t k) {
        const double kd = static_cast<double>(k);
        return std::abs(running[k - 1] - kd / md * total) / std::sqrt(kd * (md - kd) / md);
    });
}

std::size_t best_smooth_split(std::span<const double> u) {
    const std::size_t m = u.size();
    const double md = static_cast<double>(m);
    std::vector<double> total(m, 0.0);
    std::vector<double> w(m);
    for (int degree = 2; degree <= 4; ++degree) {
        double mean = 0.0;
        for (std::size_t t = 0; t < m; ++t) mean += w[t] = legendre_score(u[t], degree);
        mean /= md;
        double squares = 0.0;
        for (double& v : w) {
            v -= mean;
            squares += v * v;
        }
        const double sd = std::sqrt(squares / md);
        if (!(sd > 0.0)) continue;
        double running = 0.0;
        for (std::size_t k = 1; k < m; ++k) {
            running += w[k - 1];
            const double kd = static_cast<double>(k);
            const double z = running / sd;
            total[k] += z * z / (kd * (md - kd) / md);
        }
    }
    return first_best(1, m, [&](std::size_t k) { return total[k]; });
}

// Residual sum of squares of a least-squares line through y[0 .. m).
struct RunningLine {
    double count = 0.0, sum = 0.0, squares = 0.0, time_sum = 0.0;

    void add(double time, double y) {
        count += 1.0;
        sum += y;
        squares += y * y;
        time_sum += time * y;
    }
    // Residual squares when the times of the points are first, first+1, ...
    double residual_squares(double first) const {
        const double m = count;
        const double local = time_sum - first * sum;
        const double cross = local - (m - 1.0) / 2.0 * sum;
        const double time_squares = m * (m * m - 1.0) / 12.0;
        double rss = squares - sum * sum / m;
        if (time_squares > 0.0) rss -= cross * cross / time_squares;
        return std::max(rss, 0.0);
    }
};

std::size_t best_trend_split(std::span<const double> y, std::size_t current) {
    const std::size_t m = y.size();
    if (m < 2 * min_trend_side) return current;
    // Residual sums of the line through the first k values and of the line
    // through the last m - k, for every k, in two passes.
    std::vector<double> left(m + 1, 0.0), right(m + 1, 0.0);
    RunningLine line;
    for (std::size_t k = 1; k <= m; ++k) {
        line.add(static_cast<double>(k - 1), y[k - 1]);
        left[k] = line.residual_squares(0.0);
    }
    line = RunningLine{};
    for (std::size_t k = m; k-- > 0;) {
        line.add(static_cast<double>(k), y[k]);
        right[k] = line.residual_squares(static_cast<double>(k));
    }
    return first_best(min_trend_side, m - min_trend_side + 1,
                      [&](std::size_t k) { return -(left[k] + right[k]); });
}

// Reduction of the residual sum of y's line when regressor z joins [1, t].
double added_fit(std::span<const double> y, std::span<const double> z) {
    const std::size_t m = y.size();
    const double centre = static_cast<double>(m - 1) / 2.0;
    const auto residuals = [&](std::span<const double> v) {
        double mean = 0.0;
        for (const double x : v) mean += x;
        mean /= static_cast<double>(m);
        double cross = 0.0, time_squares = 0.0;
        for (std::size_t t = 0; t < m; ++t) {
            const double dt = static_cast<double>(t) - centre;
            cross += dt * (v[t] - mean);
            time_squares += dt * dt;
        }
        const double slope = time_squares > 0.0 ? cross / time_squares : 0.0;
        std::vector<double> out(m);
        for (std::size_t t = 0; t < m; ++t) {
            out[t] = (v[t] - mean) - slope * (static_cast<double>(t) - centre);
        }
        return out;
    };
    const std::vector<double> ey = residuals(y), ez = residuals(z);
    double cross = 0.0, squares = 0.0;
    for (std::size_t t = 0; t < m; ++t) {
        cross += ey[t] * ez[t];
        squares += ez[t] * ez[t];
    }
    return squares > 0.0 ? cross * cross / squares : 0.0;
}

}  // namespace

std::vector<std::uint64_t> merge_close_candidates(const SplitTester& tester,
                                                  std::span<const std::uint64_t> candidates,
                                                  std::uint64_t gap) {
    // Runs as [first, last] index ranges of `candidates`.
    std::vector<std::pair<std::size_t, std::size_t>> runs;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (!runs.empty() && candidates[i] - candidates[i - 1] < gap) {
            runs.back().second = i;
        } else {
            runs.emplace_back(i, i);
        }
    }
    std::vector<std::uint64_t> merged;
    merged.reserve(runs.size());
    for (std::size_t r = 0; r < runs.size(); ++r) {
        const auto [first, last] = runs[r];
        if (first == last) {
            merged.push_back(candidates[first]);
            continue;
        }
        const std::size_t a = r == 0 ? 0 : static_cast<std::size_t>(candidates[runs[r - 1].second]);
        const std::size_t b = r + 1 < runs.size()
                                  ? static_cast<std::size_t>(candidates[runs[r + 1].first])
                                  : tester.size();
        double best = std::numeric_limits<double>::infinity();
        std::uint64_t chosen = candidates[first];
        for (std::size_t i = first; i <= last; ++i) {
            const double p = tester.evidence(a, static_cast<std::size_t>(candidates[i]), b).p_value;
            if (p < best) {
                best = p;
                chosen = candidates[i];
            }
        }
        merged.push_back(chosen);
    }
    return merged;
}

Selection eliminate(const SplitTester& tester, std::span<const std::uint64_t> candidates,
                    double alpha) {
    // Points 0 and n bound the series; candidates sit between them in a
    // doubly linked list.
    const std::size_t count = candidates.size() + 2;
    std::vector<std::uint64_t> points(count);
    points[0] = 0;
    points[count - 1] = tester.size();
    std::copy(candidates.begin(), candidates.end(), points.begin() + 1);
    std::vector<std::size_t> previous(count), next(count);
    for (std::size_t i = 0; i < count; ++i) {
        previous[i] = i == 0 ? 0 : i - 1;
        next[i] = i + 1;
    }
    std::vector<SplitEvidence> evidence(count);
    std::vector<std::uint64_t> version(count, 0);
    std::vector<char> alive(count, 1);
    std::priority_queue<Pending, std::vector<Pending>, WeakestFirst> queue;

    const auto evaluate = [&](std::size_t i) {
        evidence[i] = tester.evidence(points[previous[i]], points[i], points[next[i]]);
        if (std::isnan(evidence[i].p_value)) evidence[i] = SplitEvidence{};
        queue.push({evidence[i].p_value, points[i], i, ++version[i]});
    };
    for (std::size_t i = 1; i + 1 < count; ++i) evaluate(i);
    while (!queue.empty()) {
        const Pending top = queue.top();
        queue.pop();
        if (!alive[top.index] || top.version != version[top.index]) continue;
        if (top.p_value <= alpha) break;
        const std::size_t i = top.index;
        alive[i] = 0;
        const std::size_t left = previous[i], right = next[i];
        next[left] = right;
        previous[right] = left;
        if (left > 0) evaluate(left);
        if (right + 1 < count) evaluate(right);
    }
    Selection kept;
    for (std::size_t i = 1; i + 1 < count; ++i) {
        if (!alive[i]) continue;
        kept.points.push_back(points[i]);
        kept.evidence.push_back(evidence[i]);
    }
    return kept;
}

std::vector<std::uint64_t> relocate(std::span<const double> ranks, std::span<const double> values,
                                    const Selection& selection) {
    const std::size_t count = selection.points.size();
    std::vector<std::uint64_t> moved(selection.points);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t a = i == 0 ? 0 : static_cast<std::size_t>(moved[i - 1]);
        const std::size_t b = i + 1 < count ? static_cast<std::size_t>(moved[i + 1]) : ranks.size();
        const std::size_t c = static_cast<std::size_t>(moved[i]);
        const std::size_t m = b - a;
        std::size_t k;
        switch (selection.evidence[i].kind) {
            case TestKind::trend:
                k = best_trend_split(values.subspan(a, m), c - a);
                break;
            case TestKind::spread:
            case TestKind::shape:
                k = best_smooth_split(ranks.subspan(a, m));
                break;
            default:
                k = best_level_split(ranks.subspan(a, m));
                break;
        }
        moved[i] = a + k;
    }
    return moved;
}

double variance_ratio_z(std::span<const double> left, std::span<const double> right) {
    struct Side {
        double variance;
        double error;  // squared standard error of log(variance)
    };
    const auto side = [](std::span<const double> v) {
        const double m = static_cast<double>(v.size());
        double mean = 0.0;
        for (const double x : v) mean += x;
        mean /= m;
        double m2 = 0.0, m4 = 0.0;
        for (const double x : v) {
            const double d = x - mean;
            m2 += d * d;
            m4 += d * d * d * d;
        }
        m2 /= m;
        m4 /= m;
        return Side{m2, m2 > 0.0 ? (m4 / (m2 * m2) - 1.0) / m : 0.0};
    };
    const Side l = side(left), r = side(right);
    if (!(l.variance > 0.0) || !(r.variance > 0.0)) {
        return l.variance != r.variance ? std::numeric_limits<double>::infinity() : 0.0;
    }
    const double se = std::sqrt(l.error + r.error);
    return se > 0.0 ? std::log(r.variance / l.variance) / se : 0.0;
}

ChangeKind name_change(const SplitTester& tester, std::span<const double> values,
                       std::span<const double> raw, std::size_t a, std::size_t c, std::size_t b,
                       TestKind kind, double alpha) {
    const std::size_t shorter = std::min(c - a, b - c);
    if ((kind == TestKind::spread || kind == TestKind::shape) && shorter >= 3 &&
        tester.level(a, c, b) * 3.0 <= alpha) {
        return ChangeKind::level;
    }
    if (kind == TestKind::trend) {
        const std::size_t m = b - a;
        const auto y = values.subspan(a, m);
        std::vector<double> step(m, 0.0), kink(m, 0.0);
        for (std::size_t t = c - a; t < m; ++t) {
            step[t] = 1.0;
            kink[t] = static_cast<double>(t - (c - a));
        }
        return added_fit(y, step) >= added_fit(y, kink) ? ChangeKind::level : ChangeKind::slope;
    }
    if (kind == TestKind::spread || kind == TestKind::shape) {
        const double z = variance_ratio_z(raw.subspan(a, c - a), raw.subspan(c, b - c));
        return std::abs(z) >= spread_z ? ChangeKind::spread : ChangeKind::shape;
    }
    return ChangeKind::level;
}

}  // namespace quarn
