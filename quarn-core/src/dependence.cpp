#include "quarn/dependence.hpp"

#include <algorithm>
#include <cstddef>
#include <type_traits>
#include <vector>

#include "quarn/line_fit.hpp"
#include "quarn/pool.hpp"
#include "quarn/scores.hpp"

namespace quarn {

namespace {

// Sums of lag-`lag` products and of squares of centred residuals, pooled
// over segments.
struct Lagged {
    std::size_t lag = 1;
    double products = 0.0;
    double squares = 0.0;

    // Adds the m residuals e(0) .. e(m - 1), recomputed as often as needed
    // rather than stored.
    void add(std::size_t m, auto e) {
        if (m < lag + 2) return;
        double mean = 0.0;
        for (std::size_t t = 0; t < m; ++t) mean += e(t);
        mean /= static_cast<double>(m);
        // The sums run in locals, which the values read cannot alias.
        double p = products, q = squares;
        if (lag == 1) {
            // The lagged residual is the one just centred.
            double previous = 0.0;
            for (std::size_t t = 0; t < m; ++t) {
                const double current = e(t) - mean;
                q += current * current;
                if (t >= 1) p += current * previous;
                previous = current;
            }
        } else {
            for (std::size_t t = 0; t < m; ++t) {
                const double current = e(t) - mean;
                q += current * current;
                if (t >= lag) p += current * (e(t - lag) - mean);
            }
        }
        products = p;
        squares = q;
    }

    double correlation() const {
        if (!(squares > 0.0)) return 0.0;
        return std::clamp(products / squares, 0.0, max_autocorrelation);
    }
};

enum : std::size_t { level_kind, spread_kind, shape_kind, trend_kind, residual_kinds };

// From this many values on, the kinds of residual are summed on the pool's
// threads.
constexpr std::size_t pooled_dependence = std::size_t{1} << 12;

// Longest segment whose scores are computed once and kept while its
// residuals are read (24 bytes a value).
constexpr std::size_t buffered_segment = std::size_t{1} << 16;
// Shorter segments are taken together, in runs of at most an eighth of the
// series, but not fewer than this many values nor more than
// buffered_segment: each run enters the pool once, and its scores' buffers
// stay small.
constexpr std::size_t run_values = std::size_t{1} << 12;

// Residuals of y(0) .. y(m - 1) less their mean.
auto less_mean(std::size_t m, auto y) {
    const double mean = mean_of(m, y);
    return [=](std::size_t t) { return y(t) - mean; };
}

}  // namespace

double ar1_variance_ratio(double r) {
    return (1.0 + r) / (1.0 - r);
}

DependenceFactors estimate_dependence(const ScoredSeries& series,
                                      std::span<const std::uint64_t> cuts,
                                      std::size_t seasonal_lag) {
    // The four kinds of residual (level, spread, shape, trend), each summed
    // at lag 1 and at the seasonal lag.
    Lagged lag_one[residual_kinds];
    Lagged season[residual_kinds] = {Lagged{seasonal_lag}, Lagged{seasonal_lag},
                                     Lagged{seasonal_lag}, Lagged{seasonal_lag}};
    const bool seasonal = seasonal_lag > 1;
    // Adds the residuals of kind `kind` of a segment of m values whose rank
    // scores, their fourth Legendre scores and standardised values are read
    // through functions of the offset in the segment.
    const auto add_kind = [&](auto kind_constant, std::size_t m, auto rank, auto shape_score,
                              auto value) {
        constexpr std::size_t kind = decltype(kind_constant)::value;
        const auto add = [&](auto e) {
            lag_one[kind].add(m, e);
            if (seasonal) season[kind].add(m, e);
        };
        if constexpr (kind == level_kind) {
            add(less_line(m, rank));
        } else if constexpr (kind == spread_kind) {
            const auto deviation = less_mean(m, rank);
            add([&deviation](std::size_t t) {
                const double e = deviation(t);
                return e * e;
            });
        } else if constexpr (kind == shape_kind) {
            add(less_mean(m, shape_score));
        } else {
            add(less_line(m, value));
        }
    };
    // Runs add_segments(kind) for every kind. Each kind reads and writes only
    // its own sums and takes its segments in their order: the kinds may go to
    // different threads with the same sums.
    const bool pooled = series.size() >= pooled_dependence;
    const auto for_each_kind = [&](const auto& add_segments) {
        parallel_pieces(std::size_t{0}, std::size_t{residual_kinds},
                        pooled ? std::size_t{1} : std::size_t{residual_kinds},
                        [&](std::size_t first, std::size_t last) {
                            for (std::size_t kind = first; kind < last; ++kind) {
                                switch (kind) {
                                    case level_kind:
                                        add_segments(std::integral_constant<std::size_t, level_kind>{});
                                        break;
                                    case spread_kind:
                                        add_segments(std::integral_constant<std::size_t, spread_kind>{});
                                        break;
                                    case shape_kind:
                                        add_segments(std::integral_constant<std::size_t, shape_kind>{});
                                        break;
                                    default:
                                        add_segments(std::integral_constant<std::size_t, trend_kind>{});
                                        break;
                                }
                            }
                        });
    };
    // Each residual reads its scores several times: the segments are taken
    // in runs (see run_values), whose scores are computed once, into these;
    // a segment longer than buffered_segment is taken alone and its scores
    // computed as read.
    std::vector<double> ranks, shapes, values;
    const std::size_t run_length = std::clamp(series.size() / 8, run_values, buffered_segment);
    const auto end_of = [&](std::size_t i) {
        return i < cuts.size() ? static_cast<std::size_t>(cuts[i]) : series.size();
    };
    std::size_t begin = 0;
    for (std::size_t i = 0; i <= cuts.size();) {
        const std::size_t end = end_of(i);
        if (end < begin + 4) {
            // Too short to count (or no segment).
            begin = end;
            ++i;
            continue;
        }
        if (end - begin > buffered_segment) {
            const std::size_t m = end - begin;
            const auto rank = [&series, begin](std::size_t t) { return series.rank(begin + t); };
            for_each_kind([&](auto kind) {
                add_kind(
                    kind, m, rank, [&rank](std::size_t t) { return legendre_score(rank(t), 4); },
                    [&series, begin](std::size_t t) { return series.value(begin + t); });
            });
            begin = end;
            ++i;
            continue;
        }
        // Segments i .. last - 1, ascending, fill the run: short segments
        // together up to run_length values, a longer one alone.
        const std::size_t limit = std::max(run_length, end - begin);
        std::size_t last = i + 1;
        while (last <= cuts.size() && end_of(last) >= end_of(last - 1) &&
               end_of(last) - begin <= limit) {
            ++last;
        }
        const std::size_t run_end = end_of(last - 1);
        const std::size_t length = run_end - begin;
        ranks.resize(length);
        shapes.resize(length);
        values.resize(length);
        for (std::size_t t = 0; t < length; ++t) {
            ranks[t] = series.rank(begin + t);
            shapes[t] = legendre_score(ranks[t], 4);
            values[t] = series.value(begin + t);
        }
        const std::size_t run_begin = begin;
        for_each_kind([&](auto kind) {
            std::size_t from = run_begin;
            for (std::size_t j = i; j < last; ++j) {
                const std::size_t to = end_of(j);
                if (to >= from + 4) {
                    const std::size_t offset = from - run_begin;
                    add_kind(
                        kind, to - from,
                        [&ranks, offset](std::size_t t) { return ranks[offset + t]; },
                        [&shapes, offset](std::size_t t) { return shapes[offset + t]; },
                        [&values, offset](std::size_t t) { return values[offset + t]; });
                }
                from = to;
            }
        });
        begin = run_end;
        i = last;
    }
    // A seasonal lag multiplies in its own AR(1) factor, as for a process
    // (1 - phi B)(1 - Phi B^s) e = noise.
    const auto factor = [seasonal](const Lagged& short_lag, const Lagged& season) {
        const double f = ar1_variance_ratio(short_lag.correlation());
        return seasonal ? f * ar1_variance_ratio(season.correlation()) : f;
    };
    return {factor(lag_one[level_kind], season[level_kind]),
            factor(lag_one[spread_kind], season[spread_kind]),
            factor(lag_one[shape_kind], season[shape_kind]),
            factor(lag_one[trend_kind], season[trend_kind]), lag_one[level_kind].correlation()};
}

}  // namespace quarn
