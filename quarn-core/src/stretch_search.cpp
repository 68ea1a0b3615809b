#include "quarn/stretch_search.hpp"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "quarn/pool.hpp"

namespace quarn {

namespace {

struct Split {
    std::size_t at = 0;  // offset in the stretch
    double z = 0.0;
};

// The offset k in [stretch_min_side, m - stretch_min_side] with the largest
// |S_k - k / m S_m| / sqrt(k (m - k) / m) / sd for the m scores y(t), for
// the level scores (the rank scores) and the spread scores (their second
// Legendre score) in one scan: each sum is the one a scan of its scores
// alone would form, added in the same order, so only the reads are shared.
// rank_at(t) is the rank score of value t of the stretch and spread_at(t)
// its spread score.
template <class Rank, class SpreadOf>
std::pair<Split, Split> scan_cusums(std::size_t m, Rank rank_at, SpreadOf spread_at) {
    const double md = static_cast<double>(m);
    double level_total = 0.0, spread_total = 0.0;
    for (std::size_t t = 0; t < m; ++t) {
        level_total += rank_at(t);
        spread_total += spread_at(t);
    }
    const double level_mean = level_total / md, spread_mean = spread_total / md;
    double level_squares = 0.0, spread_squares = 0.0;
    for (std::size_t t = 0; t < m; ++t) {
        const double rank = rank_at(t);
        const double spread = spread_at(t);
        level_squares += (rank - level_mean) * (rank - level_mean);
        spread_squares += (spread - spread_mean) * (spread - spread_mean);
    }
    const double level_sd = std::sqrt(level_squares / md);
    const double spread_sd = std::sqrt(spread_squares / md);
    // Scores are of order 1: a spread this small is rounding, not data.
    const bool level_varies = level_sd > 1e-9, spread_varies = spread_sd > 1e-9;
    Split level, spread;
    if (!level_varies && !spread_varies) return {level, spread};
    // Most offsets fall clearly short of the best so far: a test by
    // products alone, z^2 = d^2 m / (k (m - k) sd^2) against the best's
    // square less a margin far above the rounding of either side, passes
    // them by. Only the offsets it cannot rule out get the quotients and
    // the square root, so the best offsets and their z are the scan's own.
    // (A best z too small for its square to stay a normal number keeps
    // the bar at 0, which rules nothing out.)
    const double level_sd2 = level_sd * level_sd, spread_sd2 = spread_sd * spread_sd;
    constexpr double short_by = 1.0 - 1e-9;
    const auto bar_of = [](double z) {
        const double bar = z * z * short_by;
        return bar > 1e-200 ? bar : 0.0;
    };
    double level_bar = 0.0, spread_bar = 0.0;  // best z^2 less the margin
    double level_running = 0.0, spread_running = 0.0;
    for (std::size_t k = 1; k + stretch_min_side <= m; ++k) {
        level_running += rank_at(k - 1);
        spread_running += spread_at(k - 1);
        if (k < stretch_min_side) continue;
        const double kd = static_cast<double>(k);
        const double level_d = level_running - kd * level_mean;
        const double spread_d = spread_running - kd * spread_mean;
        const double split = kd * (md - kd);
        const bool level_short =
            !level_varies || level_d * level_d * md < split * level_sd2 * level_bar;
        const bool spread_short =
            !spread_varies || spread_d * spread_d * md < split * spread_sd2 * spread_bar;
        if (level_short && spread_short) continue;
        const double root = std::sqrt(kd * (md - kd) / md);
        const double level_z = std::abs(level_d) / root / level_sd;
        const double spread_z = std::abs(spread_d) / root / spread_sd;
        if (level_varies && level_z > level.z) {
            level = {k, level_z};
            level_bar = bar_of(level_z);
        }
        if (spread_varies && spread_z > spread.z) {
            spread = {k, spread_z};
            spread_bar = bar_of(spread_z);
        }
    }
    return {level, spread};
}

// Stretches up to this many values have their scores computed once, into
// 16 bytes per value, and the scan's three passes read them there.
constexpr std::size_t scored_stretch = std::size_t{1} << 16;

std::pair<Split, Split> best_cusums(const ScoredSeries& series, std::size_t a, std::size_t m) {
    const auto spread_of = [](double rank) { return legendre_score(rank, 2); };
    if (m > scored_stretch) {
        return scan_cusums(
            m, [&](std::size_t t) { return series.rank(a + t); },
            [&](std::size_t t) { return spread_of(series.rank(a + t)); });
    }
    std::vector<double> scores(2 * m);
    for (std::size_t t = 0; t < m; ++t) {
        scores[t] = series.rank(a + t);
        scores[m + t] = spread_of(scores[t]);
    }
    return scan_cusums(
        m, [&](std::size_t t) { return scores[t]; }, [&](std::size_t t) { return scores[m + t]; });
}

}  // namespace

std::vector<std::uint64_t> stretch_candidates(const ScoredSeries& series,
                                              const RunControl* control) {
    const auto stop_asked = [control] { return control != nullptr && control->stop_requested(); };
    // The stretches are split a generation at a time: the stretches of one
    // generation are independent, so they are searched side by side on the
    // pool, each by the same scan as alone. Which points are found does not
    // depend on the order the stretches are searched in.
    std::vector<std::uint64_t> found;
    std::vector<std::pair<std::size_t, std::size_t>> stretches{{0, series.size()}}, next;
    std::vector<std::size_t> cuts;  // per stretch: its split, or 0 for none
    while (!stretches.empty()) {
        if (stop_asked()) break;
        cuts.assign(stretches.size(), 0);
        parallel_pieces(std::size_t{0}, stretches.size(), std::size_t{1},
                        [&](std::size_t begin, std::size_t end) {
                            for (std::size_t i = begin; i != end; ++i) {
                                if (stop_asked()) return;
                                const auto [a, b] = stretches[i];
                                const std::size_t m = b - a;
                                if (m < 2 * stretch_min_side) continue;
                                const auto [level, spread] = best_cusums(series, a, m);
                                const Split& best = spread.z > level.z ? spread : level;
                                const double md = static_cast<double>(m);
                                if (best.z >= std::sqrt(2.0 * std::log(md))) cuts[i] = a + best.at;
                            }
                        });
        next.clear();
        for (std::size_t i = 0; i < stretches.size(); ++i) {
            if (cuts[i] == 0) continue;
            found.push_back(cuts[i]);
            next.emplace_back(stretches[i].first, cuts[i]);
            next.emplace_back(cuts[i], stretches[i].second);
        }
        stretches.swap(next);
    }
    std::sort(found.begin(), found.end());
    return found;
}

}  // namespace quarn
