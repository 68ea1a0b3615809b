#include "quarn/stretch_search.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace quarn {

namespace {

struct Split {
    std::size_t at = 0;  // offset in the stretch
    double z = 0.0;
};

// The offset k in [stretch_min_side, m - stretch_min_side] with the largest
// |S_k - k / m S_m| / sqrt(k (m - k) / m) / sd for the m scores y(t).
Split best_cusum(std::size_t m, auto y) {
    const double md = static_cast<double>(m);
    double total = 0.0;
    for (std::size_t t = 0; t < m; ++t) total += y(t);
    const double mean = total / md;
    double squares = 0.0;
    for (std::size_t t = 0; t < m; ++t) squares += (y(t) - mean) * (y(t) - mean);
    const double sd = std::sqrt(squares / md);
    Split best;
    // Scores are of order 1: a spread this small is rounding, not data.
    if (!(sd > 1e-9)) return best;
    double running = 0.0;
    for (std::size_t k = 1; k + stretch_min_side <= m; ++k) {
        running += y(k - 1);
        if (k < stretch_min_side) continue;
        const double kd = static_cast<double>(k);
        const double z =
            std::abs(running - kd * mean) / std::sqrt(kd * (md - kd) / md) / sd;
        if (z > best.z) best = {k, z};
    }
    return best;
}

}  // namespace

std::vector<std::uint64_t> stretch_candidates(const ScoredSeries& series,
                                              const RunControl* control) {
    std::vector<std::uint64_t> found;
    std::vector<std::pair<std::size_t, std::size_t>> stack{{0, series.size()}};
    while (!stack.empty()) {
        if (control != nullptr && control->stop_requested()) break;
        const auto [a, b] = stack.back();
        stack.pop_back();
        const std::size_t m = b - a;
        if (m < 2 * stretch_min_side) continue;
        const Split level = best_cusum(m, [&series, a](std::size_t t) { return series.rank(a + t); });
        const Split spread = best_cusum(
            m, [&series, a](std::size_t t) { return legendre_score(series.rank(a + t), 2); });
        const Split& best = spread.z > level.z ? spread : level;
        if (!(best.z >= std::sqrt(2.0 * std::log(static_cast<double>(m))))) continue;
        found.push_back(a + best.at);
        stack.emplace_back(a, a + best.at);
        stack.emplace_back(a + best.at, b);
    }
    std::sort(found.begin(), found.end());
    return found;
}

}  // namespace quarn
