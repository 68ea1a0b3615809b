#include "quarn/tail_settle.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quarn {

namespace {

// Fewest replicates drawn before the settle is tried, and the share of them
// (at most tail_cap) whose excesses give the upper tail's scale.
constexpr std::size_t fewest_drawn = 16;
constexpr std::size_t tail_share = 4;
constexpr std::size_t tail_cap = 32;
// The mean excess of the m largest widened by this many of its relative
// standard errors 1 / sqrt(m).
constexpr double scale_errors = 3.0;

// Chance that a beta-binomial count of `draws` trials, share ~ Beta(a, b),
// is below `needed`, given the log of its chance of 0. Summed in logs: the
// chance of 0 can be far below the smallest double where the sum is not.
double beta_binomial_below(std::uint64_t draws, double a, double b, std::uint64_t needed,
                           double log_none) {
    if (needed > draws) return 1.0;
    const double m = static_cast<double>(draws);
    double log_term = log_none;
    double sum = 0.0;
    for (std::uint64_t j = 0; j < needed; ++j) {
        sum += std::exp(log_term);
        const double dj = static_cast<double>(j);
        log_term += std::log((m - dj) / (dj + 1.0) * (a + dj) / (b + m - dj - 1.0));
    }
    return sum;
}

// Chance that a Poisson count of mean `mean` exceeds `allowed`.
double poisson_above(double mean, std::uint64_t allowed) {
    double term = std::exp(-mean);
    double sum = 0.0;
    for (std::uint64_t j = 0; j <= allowed; ++j) {
        sum += term;
        term *= mean / static_cast<double>(j + 1);
    }
    return std::max(0.0, 1.0 - sum);
}

}  // namespace

TailDecision tail_settled(std::span<const OrderKey> sorted, std::uint64_t n, double level,
                          double risk, double estimate, std::span<const double> ahead) {
    TailDecision decision;
    const std::size_t r = sorted.size();
    if (r < fewest_drawn || r >= n || !(risk > 0.0 && risk < 1.0) || !(level >= 0.0) ||
        !(level <= 1.0)) {
        return decision;
    }
    // The replicates' values, their largest finite (a NaN sorts last).
    const double largest = key_value(sorted[r - 1]);
    if (!std::isfinite(largest) || !std::isfinite(key_value(sorted[0]))) return decision;

    const double pos = static_cast<double>(n - 1) * level;
    const auto lo = static_cast<std::uint64_t>(std::floor(pos));
    const auto hi = std::min<std::uint64_t>(static_cast<std::uint64_t>(std::ceil(pos)), n - 1);
    const std::uint64_t below_count = n - lo;      // at or above s: s is below
    const std::uint64_t above_count = n - 1 - hi;  // at most this many: s is above
    const std::uint64_t rest = n - r;

    // The upper tail past the (m + 1)-th largest replicate.
    const std::size_t m = std::min(tail_cap, r / tail_share);
    const double base = key_value(sorted[r - 1 - m]);
    double excess = 0.0;
    for (std::size_t i = r - m; i < r; ++i) excess += key_value(sorted[i]) - base;
    const double scale =
        excess / static_cast<double>(m) * (1.0 + scale_errors / std::sqrt(static_cast<double>(m)));

    // The chance of too few more falls as k grows: the fewest drawn at or
    // above a statistic that settle it below (r + 1: none do), found once
    // for all of them, from the most down. With a = k + 1/2 and
    // b = r - k + 1/2, the chance of no more is the product over i < rest
    // of (b + i) / (r + 1 + i); one k less multiplies it by (b + rest) / b.
    std::uint64_t settles_below = std::min<std::uint64_t>(below_count, r + 1);
    if (settles_below > 0) {
        std::uint64_t k = settles_below - 1;
        double b = static_cast<double>(r - k) + 0.5;
        // Factors of at least 1 / (2 (n + 1)), multiplied 16 at a time
        // between logs: no product of them leaves the doubles.
        double log_none = 0.0;
        double product = 1.0;
        for (std::uint64_t i = 0; i < rest; ++i) {
            const double di = static_cast<double>(i);
            product *= (b + di) / (static_cast<double>(r + 1) + di);
            if (i % 16 == 15 || i + 1 == rest) {
                log_none += std::log(product);
                product = 1.0;
            }
        }
        for (;;) {
            if (beta_binomial_below(rest, static_cast<double>(k) + 0.5, b, below_count - k,
                                    log_none) > risk) {
                break;
            }
            settles_below = k;
            if (k == 0) break;
            --k;
            log_none += std::log((b + static_cast<double>(rest)) / b);
            b += 1.0;
        }
    }

    double lowest = -std::numeric_limits<double>::infinity();
    double highest = std::numeric_limits<double>::infinity();
    // A statistic is settled below when at most the settles_below-th largest
    // replicate: one comparison for the many statistics of a long sweep.
    const bool any_below = settles_below <= r;
    const OrderKey below_bar =
        any_below && settles_below > 0 ? sorted[r - settles_below] : sorted[r - 1];
    for (const double statistic : ahead) {
        if (std::isnan(statistic)) return decision;
        const OrderKey key = total_order_key(statistic);
        if (any_below && (settles_below == 0 || key <= below_bar)) {
            lowest = std::max(lowest, statistic);
            continue;
        }
        const auto at = std::lower_bound(sorted.begin(), sorted.end(), key);
        const auto k = static_cast<std::uint64_t>(sorted.end() - at);  // drawn at or above
        // Above: only past the modelled tail's base, with a scale to model.
        if (k > above_count || !(statistic > base) || !(scale > 0.0)) return decision;
        const double share =
            static_cast<double>(m) / static_cast<double>(r) * std::exp(-(statistic - base) / scale);
        if (poisson_above(static_cast<double>(rest) * share, above_count - k) > risk) {
            return decision;
        }
        // The first one above ends what the threshold decides.
        highest = statistic;
        break;
    }
    if (!(lowest < highest)) return decision;
    decision.settled = true;
    if (estimate >= lowest && estimate < highest) {
        decision.threshold = estimate;
    } else if (lowest > -std::numeric_limits<double>::infinity()) {
        decision.threshold = lowest;
    } else {
        decision.threshold = std::nextafter(highest, -std::numeric_limits<double>::infinity());
    }
    return decision;
}

}  // namespace quarn
