// The monitor's warm-up: gathering the values of a regime, learning from
// them its seasonal profile, its lag-one dependence and the sorted
// reference of its residuals with their normal scores, and the constants
// of the per-value path that follow; after an alarm, a fresh warm-up.
#include "quarn/monitor.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "monitor_internal.hpp"

namespace quarn {

using namespace monitor_detail;

namespace {

// Lags of the long-run variance factor of the level score.
constexpr int kLongRunLags = 5;
constexpr double kMaxLongRunFactor = 10.0;
// A seasonal period is taken when the autocorrelation at the period and at
// twice the period both exceed what the lag-one dependence explains by
// this much.
constexpr double kSeasonalExcess = 0.3;
constexpr double kMinPhi = -0.9;
constexpr double kMaxPhi = 0.98;

// The standard normal quantile (Wichura's algorithm AS 241, about 16 digits).
double normal_quantile(double p) {
    const double q = p - 0.5;
    if (std::fabs(q) <= 0.425) {
        const double r = 0.180625 - q * q;
        return q *
               (((((((2509.0809287301226727 * r + 33430.575583588128105) * r +
                     67265.770927008700853) * r + 45921.953931549871457) * r +
                   13731.693765509461125) * r + 1971.5909503065514427) * r +
                 133.14166789178437745) * r + 3.387132872796366608) /
               (((((((5226.495278852545925 * r + 28729.085735721942674) * r +
                     39307.89580009271061) * r + 21213.794301586595867) * r +
                   5394.1960214247511077) * r + 687.1870074920579083) * r +
                 42.313330701600911252) * r + 1.0);
    }
    double r = std::sqrt(-std::log(q < 0 ? p : 1.0 - p));
    double value;
    if (r <= 5.0) {
        r -= 1.6;
        value = (((((((7.7454501427834140764e-4 * r + 0.0227238449892691845833) * r +
                      0.24178072517745061177) * r + 1.27045825245236838258) * r +
                    3.64784832476320460504) * r + 5.7694972214606914055) * r +
                  4.6303378461565452959) * r + 1.42343711074968357734) /
                (((((((1.05075007164441684324e-9 * r + 5.475938084995344946e-4) * r +
                      0.0151986665636164571966) * r + 0.14810397642748007459) * r +
                    0.68976733498510000455) * r + 1.6763848301838038494) * r +
                  2.05319162663775882187) * r + 1.0);
    } else {
        r -= 5.0;
        value = (((((((2.01033439929228813265e-7 * r + 2.71155556874348757815e-5) * r +
                      0.0012426609473880784386) * r + 0.026532189526576123093) * r +
                    0.29656057182850489123) * r + 1.7848265399172913358) * r +
                  5.4637849111641143699) * r + 6.6579046435011037772) /
                (((((((2.04426310338993978564e-15 * r + 1.4215117583164458887e-7) * r +
                      1.8463183175100546818e-5) * r + 7.868691311456132591e-4) * r +
                    0.0148753612908506148525) * r + 0.13692988092273580531) * r +
                  0.59983220655588793769) * r + 1.0);
    }
    return q < 0 ? -value : value;
}

}  // namespace

// A value of a warm-up in progress.
void Monitor::gather(double value) {
    recent_[run_.ring_at] = value;
    if (++run_.ring_at == recent_.size()) run_.ring_at = 0;
    ++run_.n_seen;
    if (run_.n_seen - warmup_start_ == options_.warmup) learn();
}

void Monitor::learn() {
    const std::size_t n = static_cast<std::size_t>(options_.warmup);
    std::vector<double> window(n);
    for (std::size_t i = 0; i < n; ++i) {
        window[i] = recent_[static_cast<std::size_t>((warmup_start_ + i) % options_.warmup)];
    }

    // Centred and scaled copies keep the sums free of overflow.
    double mean = 0.0;
    for (const double value : window) mean += value / static_cast<double>(n);
    double largest = 0.0;
    for (const double value : window) largest = std::max(largest, std::fabs(value - mean));
    const double unit = largest > 0.0 && std::isfinite(largest) ? 1.0 / largest : 1.0;
    std::vector<double> centred(n);
    double sum_squares = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        centred[i] = clamp_finite(window[i] - mean) * unit;
        sum_squares += centred[i] * centred[i];
    }

    // The seasonal period: the shortest lag whose autocorrelation, and that
    // of twice the lag, stand clearly above the decay of lag-one dependence.
    period_ = 0;
    const std::uint64_t max_period = effective_max_period(options_);
    if (max_period >= 2 && sum_squares > 0.0) {
        const std::size_t lags = static_cast<std::size_t>(2 * max_period + 1);
        std::vector<double> acf(lags + 1, 0.0);
        for (std::size_t lag = 1; lag <= lags && lag < n; ++lag) {
            double sum = 0.0;
            for (std::size_t i = 0; i + lag < n; ++i) sum += centred[i] * centred[i + lag];
            acf[lag] = (sum / static_cast<double>(n - lag)) /
                       (sum_squares / static_cast<double>(n));
        }
        const double lag_one = std::max(acf[1], 0.0);
        // Among the lags that pass, the one whose per-phase means explain
        // the most variance (adjusted for their number); the shortest of
        // those within a whisker of the best, so that no multiple wins.
        std::vector<double> explained(static_cast<std::size_t>(max_period) + 1, -1.0);
        double best = -1.0;
        for (std::size_t p = 2; p <= max_period; ++p) {
            const double single = acf[p] - std::pow(lag_one, static_cast<double>(p));
            const double twice = acf[2 * p] - std::pow(lag_one, static_cast<double>(2 * p));
            if (single < kSeasonalExcess || twice < kSeasonalExcess) continue;
            std::vector<double> sums(p, 0.0), counts(p, 0.0);
            for (std::size_t i = 0; i < n; ++i) {
                sums[i % p] += centred[i];
                counts[i % p] += 1.0;
            }
            double between = 0.0;
            for (std::size_t phase = 0; phase < p; ++phase) {
                between += sums[phase] * sums[phase] / counts[phase];
            }
            const double residual = std::max(sum_squares - between, 0.0);
            explained[p] = 1.0 - (residual / static_cast<double>(n - p)) /
                                     (sum_squares / static_cast<double>(n - 1));
            best = std::max(best, explained[p]);
        }
        for (std::size_t p = 2; p <= max_period && best > 0.0; ++p) {
            if (explained[p] >= best - 0.01) {
                period_ = p;
                break;
            }
        }
    }

    // The profile: per-phase means, or the overall mean.
    const std::size_t phases = period_ ? static_cast<std::size_t>(period_) : 1;
    profile_.assign(phases, 0.0);
    std::vector<double> counts(phases, 0.0);
    for (std::size_t i = 0; i < n; ++i) counts[i % phases] += 1.0;
    for (std::size_t i = 0; i < n; ++i) profile_[i % phases] += window[i] / counts[i % phases];
    std::vector<double> deseasoned(n);
    for (std::size_t i = 0; i < n; ++i) {
        deseasoned[i] = clamp_finite(window[i] - profile_[i % phases]);
    }

    // Lag-one dependence, removed by prewhitening.
    double lagged = 0.0;
    double squares = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double scaled = deseasoned[i] * unit;
        squares += scaled * scaled;
        if (i + 1 < n) lagged += scaled * (deseasoned[i + 1] * unit);
    }
    phi_ = squares > 0.0 && std::isfinite(squares) && std::isfinite(lagged) ? lagged / squares
                                                                            : 0.0;
    phi_ = std::clamp(phi_, kMinPhi, kMaxPhi);

    // The residuals, widened by the in-sample shrinkage of the fitted
    // profile and dependence, form the reference.
    const std::size_t m = n - 1;
    std::vector<double> residuals(m);
    for (std::size_t i = 1; i < n; ++i) {
        residuals[i - 1] = clamp_finite(deseasoned[i] - phi_ * deseasoned[i - 1]);
    }
    reference_ = residuals;
    std::sort(reference_.begin(), reference_.end());
    const double median = m % 2 ? reference_[m / 2]
                                : reference_[m / 2 - 1] * 0.5 + reference_[m / 2] * 0.5;
    const double fitted = static_cast<double>(phases + 1);
    const double widening =
        std::sqrt((static_cast<double>(n) + fitted) / (static_cast<double>(n) - fitted));
    for (double& residual : residuals) {
        residual = clamp_finite(median + (residual - median) * widening);
    }
    reference_ = residuals;
    std::sort(reference_.begin(), reference_.end());
    knot_scores_.resize(m);
    for (std::size_t i = 0; i < m; ++i) {
        knot_scores_[i] = normal_quantile((static_cast<double>(i) + 0.5) / static_cast<double>(m));
    }
    learning_ = false;
    derive();

    // The scores of the warm-up itself standardise the scores of what
    // follows (ties and discreteness make them differ from the ideal).
    const Lookup places =
        lookup_of(reference_, padded_, buckets_, bucket_low_, bucket_scale_);
    const double inverse_m = 1.0 / static_cast<double>(m);
    std::vector<double> levels(m);
    double sums[4] = {0, 0, 0, 0};
    double sum_squares_of[4] = {0, 0, 0, 0};
    for (std::size_t i = 0; i < m; ++i) {
        double scores[4];
        place_scores(knot_scores_.data(), m, inverse_m, places.place(residuals[i]), scores);
        levels[i] = scores[0];
        for (int k = 0; k < 4; ++k) sums[k] += scores[k];
    }
    for (int k = 0; k < 4; ++k) {
        run_.score_mean[k] = ideal_mean_[k] = sums[k] / static_cast<double>(m);
    }
    for (std::size_t i = 0; i < m; ++i) {
        double scores[4];
        place_scores(knot_scores_.data(), m, inverse_m, places.place(residuals[i]), scores);
        for (int k = 0; k < 4; ++k) {
            const double d = scores[k] - run_.score_mean[k];
            sum_squares_of[k] += d * d;
        }
    }
    for (int k = 0; k < 4; ++k) {
        const double sd = std::sqrt(sum_squares_of[k] / static_cast<double>(m));
        score_scale_[k] = sd > 1e-9 ? 1.0 / sd : 1.0;
    }

    // What dependence the prewhitening left in the level score widens its
    // scale by the square root of the long-run variance factor.
    double factor = 1.0;
    const double level_variance = sum_squares_of[0];
    if (level_variance > 0.0) {
        for (int lag = 1; lag <= kLongRunLags; ++lag) {
            double sum = 0.0;
            for (std::size_t i = 0; i + static_cast<std::size_t>(lag) < m; ++i) {
                sum += (levels[i] - run_.score_mean[0]) *
                       (levels[i + static_cast<std::size_t>(lag)] - run_.score_mean[0]);
            }
            const double weight = 1.0 - static_cast<double>(lag) / (kLongRunLags + 1);
            factor += 2.0 * weight * (sum / level_variance);
        }
    }
    long_run_factor_ = std::clamp(factor, 1.0, kMaxLongRunFactor);
    score_scale_[0] /= std::sqrt(long_run_factor_);

    run_.previous = deseasoned[n - 1];
    recent_scores_.assign(4 * n, 0.0);
    for (int k = 0; k < 4; ++k) run_.settled_sums[k] = 0.0;
    run_.settled = 0;
    run_.monitored = 0;
    for (std::size_t s = 0; s < kStatistics; ++s) {
        run_.level[s] = 0.0;
        run_.start[s] = run_.n_seen;
        run_.score_sum[s] = 0.0;
    }
    derive();
}

// The positions and the bucket table that follow from the state.
void Monitor::derive() {
    const std::uint64_t warmup = options_.warmup;
    run_.ring_at = static_cast<std::size_t>(run_.n_seen % warmup);
    run_.phase = !learning_ && period_
                     ? static_cast<std::size_t>((run_.n_seen - warmup_start_) % period_)
                     : 0;
    run_.score_slot = recent_scores_.empty()
                          ? 0
                          : static_cast<std::size_t>(run_.monitored % (recent_scores_.size() / 4));
    fixed_ = Fixed{};
    for (std::size_t s = 0; s < kStatistics; ++s) fixed_.threshold[s] = thresholds_[s];
    buckets_.clear();
    bucket_scale_ = 0.0;
    if (learning_ || reference_.empty()) return;
    fixed_.prior = static_cast<double>(recent_scores_.size() / 4) - 1.0;
    fixed_.inverse_m = 1.0 / static_cast<double>(knot_scores_.size());
    for (int k = 0; k < 4; ++k) {
        fixed_.scale[k] = score_scale_[k];
        fixed_.prior_ideal[k] = fixed_.prior * ideal_mean_[k];
    }
    const double low = reference_.front();
    const double range = reference_.back() - low;
    if (!(range > 0.0) || !std::isfinite(range)) return;  // plain binary search
    bucket_low_ = low;
    bucket_scale_ = static_cast<double>(kBuckets) / range;
    padded_ = reference_;
    padded_.resize(reference_.size() + kScanned, std::numeric_limits<double>::infinity());
    // buckets_[b]: the first reference value whose bucket is b or later.
    buckets_.assign(kBuckets + 2, static_cast<std::uint32_t>(reference_.size()));
    std::size_t b = 0;
    for (std::size_t i = 0; i < reference_.size(); ++i) {
        const double scaled = (reference_[i] - bucket_low_) * bucket_scale_;
        const std::size_t bucket =
            scaled >= static_cast<double>(kBuckets) ? kBuckets : static_cast<std::size_t>(scaled);
        while (b <= bucket) buckets_[b++] = static_cast<std::uint32_t>(i);
    }
}

void Monitor::restart_warmup(std::uint64_t from, std::uint64_t detected_at) {
    const std::uint64_t warmup = options_.warmup;
    const std::uint64_t oldest = detected_at + 1 >= warmup ? detected_at + 1 - warmup : 0;
    warmup_start_ = std::max(from, oldest);
    learning_ = true;
    if (run_.n_seen - warmup_start_ == warmup) learn();
}

}  // namespace quarn
