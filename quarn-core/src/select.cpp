#include "quarn/select.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <functional>
#include <limits>
#include <utility>
#include <vector>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

#include "quarn/line_fit.hpp"
#include "quarn/pool.hpp"
#include "quarn/scores.hpp"

namespace quarn {

namespace {

// Sides of a relocated trend split hold at least this many values.
constexpr std::size_t min_trend_side = 3;
// Candidates a piece of the merge of close candidates takes, on average.
constexpr std::size_t merge_piece = 256;

// The candidates still in the elimination, weakest on top: the largest
// p-value, and among equal p-values the leftmost candidate (candidates are
// ascending, so the smaller index). A binary heap of candidate indices with
// each candidate's place in it, so that a candidate tested again moves to
// its new place instead of leaving a stale entry: 8 bytes a candidate with
// 32-bit indices.
template <class Index>
class WeakestFirst {
public:
    static constexpr Index absent = std::numeric_limits<Index>::max();

    WeakestFirst(const std::vector<double>& p_value, std::size_t count)
        : p_value_(p_value), place_(count, absent) {}

    // Takes candidates first .. last - 1, all tested.
    void fill(std::size_t first, std::size_t last) {
        heap_.reserve(last - first);
        for (std::size_t i = first; i < last; ++i) {
            place_[i] = static_cast<Index>(heap_.size());
            heap_.push_back(static_cast<Index>(i));
        }
        for (std::size_t k = heap_.size() / 2; k-- > 0;) sift_down(k);
    }
    bool empty() const { return heap_.empty(); }
    bool contains(std::size_t i) const { return place_[i] != absent; }
    Index top() const { return heap_.front(); }
    void pop() {
        place_[heap_.front()] = absent;
        const Index last = heap_.back();
        heap_.pop_back();
        if (heap_.empty()) return;
        put(0, last);
        sift_down(0);
    }
    // Candidate i, in the heap, was tested again.
    void retested(Index i) {
        const std::size_t k = place_[i];
        sift_up(k);
        sift_down(place_[i]);
    }

private:
    bool weaker(Index x, Index y) const {
        if (p_value_[x] != p_value_[y]) return p_value_[x] > p_value_[y];
        return x < y;
    }
    void put(std::size_t k, Index i) {
        heap_[k] = i;
        place_[i] = static_cast<Index>(k);
    }
    void sift_up(std::size_t k) {
        const Index i = heap_[k];
        while (k > 0) {
            const std::size_t parent = (k - 1) / 2;
            if (!weaker(i, heap_[parent])) break;
            put(k, heap_[parent]);
            k = parent;
        }
        put(k, i);
    }
    void sift_down(std::size_t k) {
        const Index i = heap_[k];
        const std::size_t size = heap_.size();
        for (;;) {
            std::size_t child = 2 * k + 1;
            if (child >= size) break;
            if (child + 1 < size && weaker(heap_[child + 1], heap_[child])) ++child;
            if (!weaker(heap_[child], i)) break;
            put(k, heap_[child]);
            k = child;
        }
        put(k, i);
    }

    const std::vector<double>& p_value_;
    std::vector<Index> heap_;
    std::vector<Index> place_;
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

// The scans below read the stretch's scores through y(t), t = 0 .. m - 1,
// recomputed on each pass instead of copied: a stretch may be the whole
// series.

// Splits whose level scores are computed together.
constexpr std::size_t level_block = 256;

// scores[j] = |running[j] - k / m total| / sqrt(k (m - k) / m) for the
// splits k = from + j, j < count: each on its own, so that two go at once
// where the processor has lanes for them (the same operations on each,
// rounded alike).
void level_scores(std::size_t from, std::size_t count, double md, double total,
                  const double* running, double* scores) {
    std::size_t j = 0;
#if defined(__SSE2__) || defined(_M_X64)
    const __m128d m = _mm_set1_pd(md), sum = _mm_set1_pd(total);
    const __m128d sign = _mm_set1_pd(-0.0);
    for (; j + 2 <= count; j += 2) {
        const __m128d k = _mm_set_pd(static_cast<double>(from + j + 1), static_cast<double>(from + j));
        const __m128d gap = _mm_sub_pd(_mm_loadu_pd(running + j), _mm_mul_pd(_mm_div_pd(k, m), sum));
        const __m128d spread = _mm_sqrt_pd(_mm_div_pd(_mm_mul_pd(k, _mm_sub_pd(m, k)), m));
        _mm_storeu_pd(scores + j, _mm_div_pd(_mm_andnot_pd(sign, gap), spread));
    }
#endif
    for (; j < count; ++j) {
        const double kd = static_cast<double>(from + j);
        scores[j] = std::abs(running[j] - kd / md * total) / std::sqrt(kd * (md - kd) / md);
    }
}

std::size_t best_level_split(std::size_t m, auto u) {
    const double md = static_cast<double>(m);
    double total = 0.0;
    for (std::size_t t = 0; t < m; ++t) total += u(t);
    // A block of splits at a time: their running sums in order, then their
    // scores, then the first best of them (as first_best takes it).
    double running = 0.0;
    double sums[level_block], scores[level_block];
    double best = -std::numeric_limits<double>::infinity();
    std::size_t arg = 1;
    for (std::size_t from = 1; from < m; from += level_block) {
        const std::size_t count = std::min(level_block, m - from);
        for (std::size_t j = 0; j < count; ++j) {
            running += u(from + j - 1);
            sums[j] = running;
        }
        level_scores(from, count, md, total, sums, scores);
        for (std::size_t j = 0; j < count; ++j) {
            if (scores[j] > best) {
                best = scores[j];
                arg = from + j;
            }
        }
    }
    return arg;
}

std::size_t best_smooth_split(std::size_t m, auto u) {
    const double md = static_cast<double>(m);
    constexpr int degrees = 3;  // Legendre scores 2 to 4
    double mean[degrees], sd[degrees], running[degrees] = {0.0, 0.0, 0.0};
    for (int d = 0; d < degrees; ++d) {
        double sum = 0.0;
        for (std::size_t t = 0; t < m; ++t) sum += legendre_score(u(t), d + 2);
        mean[d] = sum / md;
        double squares = 0.0;
        for (std::size_t t = 0; t < m; ++t) {
            const double v = legendre_score(u(t), d + 2) - mean[d];
            squares += v * v;
        }
        sd[d] = std::sqrt(squares / md);
    }
    return first_best(1, m, [&](std::size_t k) {
        const double score = u(k - 1);
        const double kd = static_cast<double>(k);
        double total = 0.0;
        for (int d = 0; d < degrees; ++d) {
            if (!(sd[d] > 0.0)) continue;
            running[d] += legendre_score(score, d + 2) - mean[d];
            const double z = running[d] / sd[d];
            total += z * z / (kd * (md - kd) / md);
        }
        return total;
    });
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

std::size_t best_trend_split(std::size_t m, auto y, std::size_t current) {
    if (m < 2 * min_trend_side) return current;
    // The residual sum of the line through the last m - k values comes from a
    // backward pass; its state is kept every `stride` values, and each block
    // of splits replays its part of that pass from the state above it.
    constexpr std::size_t stride = 64;
    std::vector<RunningLine> above((m + stride - 1) / stride + 1);
    RunningLine line;
    above.back() = line;
    for (std::size_t k = m; k-- > 0;) {
        line.add(static_cast<double>(k), y(k));
        if (k % stride == 0) above[k / stride] = line;
    }
    double right[stride];
    std::size_t block = std::numeric_limits<std::size_t>::max();
    RunningLine left;
    for (std::size_t k = 1; k < min_trend_side; ++k) left.add(static_cast<double>(k - 1), y(k - 1));
    return first_best(min_trend_side, m - min_trend_side + 1, [&](std::size_t k) {
        left.add(static_cast<double>(k - 1), y(k - 1));
        if (k / stride != block) {
            block = k / stride;
            const std::size_t top = std::min(m, (block + 1) * stride);
            RunningLine back = top == m ? RunningLine{} : above[block + 1];
            for (std::size_t j = top; j-- > block * stride;) {
                back.add(static_cast<double>(j), y(j));
                right[j - block * stride] = back.residual_squares(static_cast<double>(j));
            }
        }
        return -(left.residual_squares(0.0) + right[k - block * stride]);
    });
}

// Reduction of the residual sum of y's line when regressor z joins [1, t].
double added_fit(std::size_t m, auto y, auto z) {
    const auto ey = less_line(m, y);
    const auto ez = less_line(m, z);
    double cross = 0.0, squares = 0.0;
    for (std::size_t t = 0; t < m; ++t) {
        const double e = ez(t);
        cross += ey(t) * e;
        squares += e * e;
    }
    return squares > 0.0 ? cross * cross / squares : 0.0;
}

// log(var right / var left) over its standard error, for sides read through
// left(t), t < n1, and right(t), t < n2.
double variance_ratio_z(std::size_t n1, auto left, std::size_t n2, auto right) {
    struct Side {
        double variance;
        double error;  // squared standard error of log(variance)
    };
    const auto side = [](std::size_t count, auto v) {
        const double m = static_cast<double>(count);
        double mean = 0.0;
        for (std::size_t t = 0; t < count; ++t) mean += v(t);
        mean /= m;
        double m2 = 0.0, m4 = 0.0;
        for (std::size_t t = 0; t < count; ++t) {
            const double d = v(t) - mean;
            m2 += d * d;
            m4 += d * d * d * d;
        }
        m2 /= m;
        m4 /= m;
        return Side{m2, m2 > 0.0 ? (m4 / (m2 * m2) - 1.0) / m : 0.0};
    };
    const Side l = side(n1, left), r = side(n2, right);
    if (!(l.variance > 0.0) || !(r.variance > 0.0)) {
        return l.variance != r.variance ? std::numeric_limits<double>::infinity() : 0.0;
    }
    const double se = std::sqrt(l.error + r.error);
    return se > 0.0 ? std::log(r.variance / l.variance) / se : 0.0;
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
    // Each run is judged between its neighbours' candidates as found, not
    // as merged: the runs are independent, and a piece of them goes to any
    // thread, each run's choice to its own slot.
    std::vector<std::uint64_t> merged(runs.size());
    const auto merge_runs = [&](std::size_t from, std::size_t to) {
        for (std::size_t r = from; r < to; ++r) {
            const auto [first, last] = runs[r];
            if (first == last) {
                merged[r] = candidates[first];
                continue;
            }
            const std::size_t a =
                r == 0 ? 0 : static_cast<std::size_t>(candidates[runs[r - 1].second]);
            const std::size_t b = r + 1 < runs.size()
                                      ? static_cast<std::size_t>(candidates[runs[r + 1].first])
                                      : tester.size();
            double best = std::numeric_limits<double>::infinity();
            std::uint64_t chosen = candidates[first];
            for (std::size_t i = first; i <= last; ++i) {
                const double p =
                    tester.evidence(a, static_cast<std::size_t>(candidates[i]), b).p_value;
                if (p < best) {
                    best = p;
                    chosen = candidates[i];
                }
            }
            merged[r] = chosen;
        }
    };
    // The pieces hold some merge_piece candidates each, on average.
    const std::size_t pieces = candidates.size() / merge_piece;
    parallel_pieces(std::size_t{0}, runs.size(),
                    pieces < 2 ? runs.size() : (runs.size() + pieces - 1) / pieces, merge_runs);
    return merged;
}

template <class Index>
Selection eliminate_indexed(const SplitTester& tester, std::span<const std::uint64_t> candidates,
                            double alpha) {
    // Points 0 and n bound the series; candidates sit between them in a
    // doubly linked list of their indices. Point i is candidates[i - 1],
    // read in place.
    const std::size_t count = candidates.size() + 2;
    const std::uint64_t n = tester.size();
    const auto point = [&](Index i) -> std::uint64_t {
        if (i == 0) return 0;
        return static_cast<std::size_t>(i) + 1 == count ? n : candidates[i - 1];
    };
    std::vector<Index> previous(count), next(count);
    for (std::size_t i = 0; i < count; ++i) {
        previous[i] = static_cast<Index>(i == 0 ? 0 : i - 1);
        next[i] = static_cast<Index>(i + 1);
    }
    // The p-values and kinds apart: 9 bytes a candidate instead of 16.
    std::vector<double> p_value(count, 1.0);
    std::vector<TestKind> kind(count, TestKind::none);
    const auto test = [&](Index i) {
        SplitEvidence found = tester.evidence(point(previous[i]), point(i), point(next[i]));
        if (std::isnan(found.p_value)) found = SplitEvidence{};
        p_value[i] = found.p_value;
        kind[i] = found.kind;
    };
    for (std::size_t i = 1; i + 1 < count; ++i) test(static_cast<Index>(i));
    WeakestFirst<Index> queue(p_value, count);
    queue.fill(1, count - 1);
    while (!queue.empty()) {
        const Index i = queue.top();
        if (p_value[i] <= alpha) break;
        queue.pop();
        const Index left = previous[i], right = next[i];
        next[left] = right;
        previous[right] = left;
        if (left > 0) {
            test(left);
            queue.retested(left);
        }
        if (static_cast<std::size_t>(right) + 1 < count) {
            test(right);
            queue.retested(right);
        }
    }
    std::size_t left_in = 0;
    for (std::size_t i = 1; i + 1 < count; ++i) left_in += queue.contains(i) ? 1 : 0;
    Selection kept;
    kept.points.reserve(left_in);
    kept.evidence.reserve(left_in);
    for (std::size_t i = 1; i + 1 < count; ++i) {
        if (!queue.contains(i)) continue;
        kept.points.push_back(candidates[i - 1]);
        kept.evidence.push_back(SplitEvidence{p_value[i], kind[i]});
    }
    return kept;
}

template Selection eliminate_indexed<std::uint32_t>(const SplitTester&,
                                                    std::span<const std::uint64_t>, double);
template Selection eliminate_indexed<std::uint64_t>(const SplitTester&,
                                                    std::span<const std::uint64_t>, double);

Selection eliminate(const SplitTester& tester, std::span<const std::uint64_t> candidates,
                    double alpha) {
    // Indices run to the count of candidates + 1; the largest value marks
    // a candidate no longer in the heap.
    if (candidates.size() + 2 < std::numeric_limits<std::uint32_t>::max()) {
        return eliminate_indexed<std::uint32_t>(tester, candidates, alpha);
    }
    return eliminate_indexed<std::uint64_t>(tester, candidates, alpha);
}

std::vector<std::uint64_t> relocate(const ScoredSeries& series, const Selection& selection) {
    const std::size_t count = selection.points.size();
    std::vector<std::uint64_t> moved(selection.points);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t a = i == 0 ? 0 : static_cast<std::size_t>(moved[i - 1]);
        const std::size_t b =
            i + 1 < count ? static_cast<std::size_t>(moved[i + 1]) : series.size();
        const std::size_t c = static_cast<std::size_t>(moved[i]);
        const std::size_t m = b - a;
        const auto rank = [&series, a](std::size_t t) { return series.rank(a + t); };
        std::size_t k;
        switch (selection.evidence[i].kind) {
            case TestKind::trend:
                k = best_trend_split(
                    m, [&series, a](std::size_t t) { return series.value(a + t); }, c - a);
                break;
            case TestKind::spread:
            case TestKind::shape:
                k = best_smooth_split(m, rank);
                break;
            default:
                k = settled_level_split(series, a, b, best_level_split(m, rank));
                break;
        }
        moved[i] = a + k;
    }
    return moved;
}

double variance_ratio_z(std::span<const double> left, std::span<const double> right) {
    return variance_ratio_z(
        left.size(), [left](std::size_t t) { return left[t]; }, right.size(),
        [right](std::size_t t) { return right[t]; });
}

ChangeKind name_change(const SplitTester& tester, const ScoredSeries& series, std::size_t a,
                       std::size_t c, std::size_t b, TestKind kind, double alpha) {
    const std::size_t shorter = std::min(c - a, b - c);
    if ((kind == TestKind::spread || kind == TestKind::shape) && shorter >= 3 &&
        tester.level(a, c, b) * 3.0 <= alpha) {
        return ChangeKind::level;
    }
    if (kind == TestKind::trend) {
        const std::size_t m = b - a, jump = c - a;
        const auto y = [&series, a](std::size_t t) { return series.value(a + t); };
        const auto step = [jump](std::size_t t) { return t >= jump ? 1.0 : 0.0; };
        const auto kink = [jump](std::size_t t) {
            return t >= jump ? static_cast<double>(t - jump) : 0.0;
        };
        return added_fit(m, y, step) >= added_fit(m, y, kink) ? ChangeKind::level
                                                              : ChangeKind::slope;
    }
    if (kind == TestKind::spread || kind == TestKind::shape) {
        const double z = variance_ratio_z(
            c - a, [&series, a](std::size_t t) { return series.raw(a + t); }, b - c,
            [&series, c](std::size_t t) { return series.raw(c + t); });
        return std::abs(z) >= spread_change_z ? ChangeKind::spread : ChangeKind::shape;
    }
    return ChangeKind::level;
}

}  // namespace quarn
