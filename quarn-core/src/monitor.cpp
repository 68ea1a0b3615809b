#include "quarn/monitor.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

// SSE2 is part of every x86-64 processor; elsewhere plain code does the same.
#if !defined(QUARN_MONITOR_PLAIN) && (defined(__SSE2__) || defined(_M_X64))
#include <emmintrin.h>
#define QUARN_MONITOR_SSE2 1
#else
#define QUARN_MONITOR_SSE2 0
#endif

namespace quarn {

namespace {

// The statistics, two one-sided CUSUMs per score: level up/down, spread
// wider/narrower, skew right/left, tails heavier/lighter. Statistic s
// accumulates sign(s) * score(s / 2) - kDrift[s].
constexpr double kDrift[Monitor::kStatistics] = {0.5, 0.5, 0.6, 0.3, 0.35, 0.35, 0.35, 0.35};

// Run lengths of each CUSUM without change: log ARL(h) = kLogRunSlope[s] * h
// + kLogRunOffset[s]. The slope is the root theta > 0 of E exp(theta X) = 1
// for the CUSUM's increment X under a uniform rank, the offset fitted to
// simulated run lengths; bench/calibrate_monitor.py computes both.
// (Fitted for a warm-up of 500 values; other warm-ups change the extreme
// scores, and with them these figures, only slightly.)
constexpr double kLogRunSlope[Monitor::kStatistics] = {
    1.005775, 1.005775, 0.625006, 1.211513, 0.717995, 0.717995, 0.645832, 0.824066};
constexpr double kLogRunOffset[Monitor::kStatistics] = {
    1.8301, 1.8301, 2.1198, 2.0575, 2.1444, 2.1444, 2.2346, 2.0164};

// Lags of the long-run variance factor of the level score.
constexpr int kLongRunLags = 5;
constexpr double kMaxLongRunFactor = 10.0;
// A seasonal period is taken when the autocorrelation at the period and at
// twice the period both exceed what the lag-one dependence explains by
// this much.
constexpr double kSeasonalExcess = 0.3;
// Warm-up values per seasonal period, at least.
constexpr std::uint64_t kPeriodsPerWarmup = 6;
constexpr double kMinPhi = -0.9;
constexpr double kMaxPhi = 0.98;

constexpr double kHuge = std::numeric_limits<double>::max();

// The value within the finite doubles (NaN stays NaN); no branches.
inline double clamp_finite(double value) { return std::min(std::max(value, -kHuge), kHuge); }

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

// Buckets of the reference's range searched for a residual's place, and
// the most reference values of one bucket compared one by one.
constexpr std::size_t kBuckets = 2048;
constexpr std::size_t kScanned = 4;

// Conversions of indices (far below 2^53) and of non-negative doubles below
// 2^63, through signed integers: the same results as through std::size_t,
// in one instruction.
inline double to_double(std::size_t index) {
    return static_cast<double>(static_cast<std::int64_t>(index));
}
inline std::int64_t to_int(double value) { return static_cast<std::int64_t>(value); }

// The sorted reference and its bucket table, which narrows the search of a
// residual's place to the few reference values of the residual's bucket
// (exact because the bucket of a value never decreases as the value grows).
struct Lookup {
    const double* reference;  // m sorted values
    const double* padded;     // the same, then kScanned times +infinity
    const std::uint32_t* buckets;  // kBuckets + 2 entries; null: binary search
    std::size_t m;
    double low;    // the reference's smallest value
    double scale;  // buckets per unit

    // The number of reference values under the residual.
    std::size_t below(double residual) const {
        if (!buckets) {
            return static_cast<std::size_t>(std::lower_bound(reference, reference + m, residual) -
                                            reference);
        }
        if (residual < low) return 0;
        const double scaled = (residual - low) * scale;  // >= 0
        const std::size_t bucket = scaled >= static_cast<double>(kBuckets)
                                       ? kBuckets
                                       : static_cast<std::size_t>(to_int(scaled));
        const std::size_t first = buckets[bucket];
        const std::size_t last = buckets[bucket + 1];
        if (last - first > kScanned) {
            return static_cast<std::size_t>(
                std::lower_bound(reference + first, reference + last, residual) - reference);
        }
        // A fixed count of comparisons: the reference from `last` on (and
        // the padding) is above the residual, so they add nothing.
        const double* values = padded + first;
        std::size_t under = 0;
        for (std::size_t j = 0; j < kScanned; ++j) under += values[j] < residual;
        return first + under;
    }

    // A residual's place in the sorted reference: a fractional index from 0
    // to m - 1, linear between neighbouring reference values, mid-rank on
    // ties.
    double place(double residual) const { return place(residual, below(residual)); }
    // The same, given the number of reference values under the residual.
    double place(double residual, std::size_t under) const {
        if (under < m && reference[under] == residual) [[unlikely]] {
            const double* last = std::upper_bound(reference + under, reference + m, residual);
            const std::size_t equal = static_cast<std::size_t>(last - (reference + under));
            return to_double(under) + to_double(equal - 1) * 0.5;
        }
        if (under == 0) [[unlikely]] return 0.0;
        if (under == m) [[unlikely]] return to_double(m - 1);
        const double lower = reference[under - 1];
        const double upper = reference[under];
        double fraction = (residual - lower) / (upper - lower);
        if (!(fraction >= 0.0)) fraction = 0.0;
        if (fraction > 1.0) fraction = 1.0;
        return to_double(under - 1) + fraction;
    }
};

Lookup lookup_of(const std::vector<double>& reference, const std::vector<double>& padded,
                 const std::vector<std::uint32_t>& buckets, double low, double scale) {
    return Lookup{reference.data(), padded.data(), buckets.empty() ? nullptr : buckets.data(),
                  reference.size(), low, scale};
}

// The normal score of a place, linear between the knots.
inline double knot_score(const double* knot_scores, std::size_t m, double place) {
    const std::size_t at = static_cast<std::size_t>(to_int(place));  // place >= 0
    const double fraction = place - to_double(at);
    double q = knot_scores[at];
    if (fraction > 0.0 && at + 1 < m) q += fraction * (knot_scores[at + 1] - q);
    return q;
}

// The other raw scores of a place and its normal score q: q squared, and
// the orthonormal Legendre scores of order 3 and 4 of the rank. Plain
// arithmetic, which a compiler may run on several places at once.
inline void rank_scores(double place, double q, double inverse_m, double& spread, double& skew,
                        double& tails) {
    const double u = (place + 0.5) * inverse_m;
    const double x = 2.0 * u - 1.0;
    const double x2 = x * x;
    spread = q * q;
    skew = 1.3228756555322952 * (5.0 * x2 - 3.0) * x;  // sqrt(7) / 2 * (5x^3 - 3x)
    tails = 0.375 * ((35.0 * x2 - 30.0) * x2 + 3.0);   // 3 / 8 * (35x^4 - 30x^2 + 3)
}

// The four raw scores of a place: normal score, its square, and the
// orthonormal Legendre scores of order 3 and 4 of the rank.
// `inverse_m` is 1 / m for the m knot scores.
inline void place_scores(const double* knot_scores, std::size_t m, double inverse_m, double place,
                         double scores[4]) {
    scores[0] = knot_score(knot_scores, m, place);
    rank_scores(place, scores[0], inverse_m, scores[1], scores[2], scores[3]);
}

// The thresholds for a false-alarm run. Each statistic gets an equal share
// of the false alarms. The reference of m values leaves each score's mean
// off by about 1/sqrt(m) standard deviations, which shortens the run length
// on average by the factor exp(2 h^2 / m); the threshold solves
// theta h + c - 2 h^2 / m = log(run) for the smaller root.
std::vector<double> thresholds_for(const MonitorOptions& options) {
    const double log_run =
        std::log(options.false_alarm_run * static_cast<double>(Monitor::kStatistics));
    const double penalty = 2.0 / static_cast<double>(options.warmup - 1);
    std::vector<double> thresholds(Monitor::kStatistics);
    for (std::size_t s = 0; s < Monitor::kStatistics; ++s) {
        const double theta = kLogRunSlope[s];
        const double need = log_run - kLogRunOffset[s];
        const double discriminant = theta * theta - 4.0 * penalty * need;
        // Where no root exists the run cannot be guaranteed on average; the
        // threshold then takes the longest-run point of the parabola.
        const double h = discriminant > 0.0
                             ? (theta - std::sqrt(discriminant)) / (2.0 * penalty)
                             : theta / (2.0 * penalty);
        thresholds[s] = std::max(1.0, h);
    }
    return thresholds;
}

std::uint64_t effective_max_period(const MonitorOptions& options) {
    return std::min<std::uint64_t>(options.max_period, options.warmup / kPeriodsPerWarmup);
}

constexpr AlarmDirection kDirections[Monitor::kStatistics] = {
    AlarmDirection::up,           AlarmDirection::down,         AlarmDirection::wider,
    AlarmDirection::narrower,     AlarmDirection::skewed_right, AlarmDirection::skewed_left,
    AlarmDirection::heavier_tails, AlarmDirection::lighter_tails};

}  // namespace

const char* alarm_kind_name(AlarmKind kind) {
    switch (kind) {
        case AlarmKind::level:
            return "level";
        case AlarmKind::spread:
            return "spread";
        case AlarmKind::shape:
            return "shape";
    }
    return "level";
}

const char* alarm_direction_name(AlarmDirection direction) {
    switch (direction) {
        case AlarmDirection::up:
            return "up";
        case AlarmDirection::down:
            return "down";
        case AlarmDirection::wider:
            return "wider";
        case AlarmDirection::narrower:
            return "narrower";
        case AlarmDirection::skewed_right:
            return "skewed right";
        case AlarmDirection::skewed_left:
            return "skewed left";
        case AlarmDirection::heavier_tails:
            return "heavier tails";
        case AlarmDirection::lighter_tails:
            return "lighter tails";
    }
    return "up";
}

Status check_monitor_options(const MonitorOptions& options) {
    if (!(options.false_alarm_run >= kMinFalseAlarmRun &&
          options.false_alarm_run <= kMaxFalseAlarmRun)) {
        return fail("false_alarm_run must be a number from 100 to 1e15, got " +
                    std::to_string(options.false_alarm_run));
    }
    if (options.warmup < kMinWarmup || options.warmup > kMaxWarmup) {
        return fail("warmup must be an integer from 30 to 1000000, got " +
                    std::to_string(options.warmup));
    }
    if (options.max_period > kMaxWarmup) {
        return fail("max_period must be an integer from 0 to 1000000, got " +
                    std::to_string(options.max_period));
    }
    return {};
}

Monitor::Monitor(const MonitorOptions& options)
    : options_(options),
      thresholds_(thresholds_for(options)),
      recent_(static_cast<std::size_t>(options.warmup), 0.0) {}

Result<Monitor> Monitor::create(const MonitorOptions& options) {
    if (auto status = check_monitor_options(options); !status) return fail(status.error());
    return Monitor(options);
}

void Monitor::reset() { *this = Monitor(options_); }

MonitorRegime Monitor::regime() const {
    MonitorRegime regime;
    regime.learnt = !learning_;
    regime.start = warmup_start_;
    if (!learning_) {
        regime.period = period_;
        regime.phi = phi_;
        regime.long_run_factor = long_run_factor_;
    }
    return regime;
}

// Where the per-value path reads and writes outside the running state.
struct Monitor::Views {
    Lookup places;
    const double* knots;  // m knot scores
    const double* profile;
    std::size_t phases;
    double phi;
    double* recent;  // the ring of values
    std::size_t warmup;
    double* scores;  // the ring of raw scores, four per value
    std::size_t slots;
};

Monitor::Views Monitor::views() {
    return Views{lookup_of(reference_, padded_, buckets_, bucket_low_, bucket_scale_),
                 knot_scores_.data(),
                 profile_.data(),
                 profile_.size(),
                 phi_,
                 recent_.data(),
                 recent_.size(),
                 recent_scores_.data(),
                 recent_scores_.size() / 4};
}

namespace {

// A value of a learnt regime without its season, given its phase, and its
// residual, given the deseasonalised value before it. They depend on the
// running state only through those, so that a batch computes the
// residuals, places and raw scores of many values before it updates the
// state with them: in short loops, whose iterations the processor overlaps
// (or a compiler runs several at once).
template <class Views>
inline double deseasoned_of(const Views& at, std::size_t phase, double value) {
    return clamp_finite(value - at.profile[phase]);
}
inline double residual_of(double phi, double deseasoned, double previous) {
    return clamp_finite(deseasoned - phi * previous);
}

// Updates the running state with a value and its raw scores; returns
// whether a CUSUM crossed its threshold. Written without branches on what
// happens at random without change (a CUSUM returning to zero); crossings
// are rare.
template <class Running, class Fixed, class Views>
inline bool advance(Running& run, const Fixed& fixed, const Views& at, double value,
                    double deseasoned, const double raw[4]) {
    at.recent[run.ring_at] = value;
    run.ring_at = run.ring_at + 1 == at.warmup ? 0 : run.ring_at + 1;
    const std::uint64_t seen = ++run.n_seen;  // the value's index is seen - 1
    run.phase = run.phase + 1 == at.phases ? 0 : run.phase + 1;
    run.previous = deseasoned;

    double score[4];
    for (int k = 0; k < 4; ++k) score[k] = (raw[k] - run.score_mean[k]) * fixed.scale[k];

    // The raw scores of the last `warmup` values stay in a ring; those
    // that leave it are old enough to stand for the regime rather than for
    // a change under way, and move the score means from their ideal values
    // (weighted as the reference's m values) towards what this reference
    // actually gives.
    double* kept = at.scores + 4 * run.score_slot;
    run.score_slot = run.score_slot + 1 == at.slots ? 0 : run.score_slot + 1;
    if (run.monitored >= at.slots) [[likely]] {
        ++run.settled;
        const double weight = 1.0 / (fixed.prior + static_cast<double>(run.settled));
        for (int k = 0; k < 4; ++k) {
            run.settled_sums[k] += kept[k];
            run.score_mean[k] = (fixed.prior_ideal[k] + run.settled_sums[k]) * weight;
        }
    }
    for (int k = 0; k < 4; ++k) kept[k] = raw[k];
    ++run.monitored;

    // Statistic s accumulates sign(s) * score(s / 2) - kDrift[s]. Where a
    // CUSUM leaves zero its run starts afresh: the start moves to the next
    // value and the score sum is cleared.
#if QUARN_MONITOR_SSE2
    // The two statistics of a score side by side, the same operations as
    // below on both lanes at once.
    const __m128d zero = _mm_setzero_pd();
    const __m128d negate_high = _mm_set_pd(-0.0, 0.0);
    const __m128i next_start = _mm_set1_epi64x(static_cast<long long>(seen));
    __m128d crossed = zero;
    for (std::size_t k = 0; k < 4; ++k) {
        const std::size_t s = 2 * k;
        const __m128d signed_score = _mm_xor_pd(_mm_set1_pd(score[k]), negate_high);
        const __m128d next = _mm_add_pd(_mm_loadu_pd(run.level + s),
                                        _mm_sub_pd(signed_score, _mm_loadu_pd(kDrift + s)));
        const __m128d keep = _mm_cmpgt_pd(next, zero);
        // max(zero, next) gives next unless zero is greater, as
        // std::max(next, 0.0) does (so -0.0 stays -0.0).
        _mm_storeu_pd(run.level + s, _mm_max_pd(zero, next));
        const __m128i keep_bits = _mm_castpd_si128(keep);
        auto* start = reinterpret_cast<__m128i*>(run.start + s);
        _mm_storeu_si128(start, _mm_or_si128(_mm_and_si128(_mm_loadu_si128(start), keep_bits),
                                             _mm_andnot_si128(keep_bits, next_start)));
        _mm_storeu_pd(run.score_sum + s,
                      _mm_and_pd(_mm_add_pd(_mm_loadu_pd(run.score_sum + s), signed_score), keep));
        crossed = _mm_or_pd(crossed, _mm_cmpgt_pd(next, _mm_loadu_pd(fixed.threshold + s)));
    }
    return _mm_movemask_pd(crossed) != 0;
#else
    bool crossed = false;
    for (std::size_t s = 0; s < Monitor::kStatistics; ++s) {
        const double signed_score = s % 2 ? -score[s / 2] : score[s / 2];
        const double next = run.level[s] + (signed_score - kDrift[s]);
        const std::uint64_t keep = std::uint64_t{0} - static_cast<std::uint64_t>(next > 0.0);
        run.level[s] = std::max(next, 0.0);
        run.start[s] = (run.start[s] & keep) | (seen & ~keep);
        run.score_sum[s] = std::bit_cast<double>(
            std::bit_cast<std::uint64_t>(run.score_sum[s] + signed_score) & keep);
        crossed |= next > fixed.threshold[s];
    }
    return crossed;
#endif
}

}  // namespace

Result<std::vector<MonitorAlarm>> Monitor::update(std::span<const double> values) {
    // Checked without an exit per value (which keeps the loop in vectors);
    // the index of the first bad value is looked for only when there is one.
    bool finite = true;
    for (const double value : values) finite &= std::fabs(value) <= kHuge;
    if (!finite) {
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (!std::isfinite(values[i])) {
                return fail("values contain a NaN or infinite value at index " +
                            std::to_string(i));
            }
        }
    }
    std::vector<MonitorAlarm> alarms;
    MonitorAlarm alarm;
    std::size_t at = 0;
    while (at < values.size()) {
        if (learning_) {
            gather(values[at++]);
            continue;
        }
        bool raised = false;
        at += scan(values.data() + at, values.size() - at, alarm, raised);
        if (raised) alarms.push_back(alarm);
    }
    return alarms;
}

bool Monitor::push(double value, MonitorAlarm& alarm) {
    if (learning_) {
        gather(value);
        return false;
    }
    const Views at = views();
    double raw[4];
    const double deseasoned = deseasoned_of(at, run_.phase, value);
    const double residual = residual_of(at.phi, deseasoned, run_.previous);
    place_scores(at.knots, at.places.m, fixed_.inverse_m, at.places.place(residual), raw);
    if (!advance(run_, fixed_, at, value, deseasoned, raw)) return false;
    return raise(alarm);
}

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

// Reads values of a learnt regime until one raises an alarm or the values
// end, and returns how many it read. The loop works on a copy of the
// running state, which the compiler can keep in registers.
std::size_t Monitor::scan(const double* values, std::size_t count, MonitorAlarm& alarm,
                          bool& raised) {
    const Views at = views();
    const Fixed fixed = fixed_;
    Running run = run_;
    std::size_t read = 0;
    bool crossed = false;
    // In chunks: first the raw scores of the chunk's values, then the state
    // updates with them up to the first crossing.
    constexpr std::size_t kChunk = 32;
    double raw[4][kChunk];  // per score
    double deseasoned[kChunk + 1];  // the value before the chunk's, then the chunk's
    double place[kChunk];  // residuals, then their places
    while (read < count && !crossed) {
        const std::size_t n = std::min(kChunk, count - read);
        const double* chunk = values + read;
        std::size_t phase = run.phase;
        deseasoned[0] = run.previous;
        for (std::size_t i = 0; i < n; ++i) {
            deseasoned[i + 1] = deseasoned_of(at, phase, chunk[i]);
            phase = phase + 1 == at.phases ? 0 : phase + 1;
        }
        for (std::size_t i = 0; i < n; ++i) {
            place[i] = residual_of(at.phi, deseasoned[i + 1], deseasoned[i]);
        }
        std::size_t under[kChunk];
        for (std::size_t i = 0; i < n; ++i) under[i] = at.places.below(place[i]);
        for (std::size_t i = 0; i < n; ++i) place[i] = at.places.place(place[i], under[i]);
        for (std::size_t i = 0; i < n; ++i) raw[0][i] = knot_score(at.knots, at.places.m, place[i]);
        for (std::size_t i = 0; i < n; ++i) {
            rank_scores(place[i], raw[0][i], fixed.inverse_m, raw[1][i], raw[2][i], raw[3][i]);
        }
        std::size_t used = 0;
        while (used < n && !crossed) {
            const double scores[4] = {raw[0][used], raw[1][used], raw[2][used], raw[3][used]};
            crossed = advance(run, fixed, at, chunk[used], deseasoned[used + 1], scores);
            ++used;
        }
        read += used;
    }
    run_ = run;
    raised = crossed && raise(alarm);
    return read;
}

// After a crossing: the alarm of the statistic furthest over its threshold,
// and a warm-up from where that statistic last left zero.
bool Monitor::raise(MonitorAlarm& alarm) {
    const std::uint64_t index = run_.n_seen - 1;
    int alarming = -1;
    double strongest = 1.0;
    for (std::size_t s = 0; s < kStatistics; ++s) {
        if (!(run_.level[s] > thresholds_[s])) continue;
        const double ratio = run_.level[s] / thresholds_[s];
        if (ratio > strongest) {
            strongest = ratio;
            alarming = static_cast<int>(s);
        }
    }
    if (alarming < 0) return false;

    const std::uint64_t start = run_.start[alarming];
    alarm.position = start;
    alarm.detected_at = index;
    alarm.kind = static_cast<AlarmKind>(alarming / 2);
    alarm.direction = kDirections[alarming];
    alarm.evidence = strongest;
    const double sign = alarming % 2 ? -1.0 : 1.0;
    alarm.effect = sign * run_.score_sum[alarming] / static_cast<double>(index - start + 1);
    restart_warmup(start, index);
    return true;
}

void Monitor::restart_warmup(std::uint64_t from, std::uint64_t detected_at) {
    const std::uint64_t warmup = options_.warmup;
    const std::uint64_t oldest = detected_at + 1 >= warmup ? detected_at + 1 - warmup : 0;
    warmup_start_ = std::max(from, oldest);
    learning_ = true;
    if (run_.n_seen - warmup_start_ == warmup) learn();
}

// ---------------------------------------------------------------------------
// Serialisation: a tag, a version, then every field in a fixed order as
// little-endian 64-bit words (doubles by their bit patterns).

namespace {

constexpr char kTag[8] = {'q', 'u', 'a', 'r', 'n', 'm', 'o', 'n'};
constexpr std::uint64_t kVersion = 1;

class Writer {
public:
    void word(std::uint64_t value) {
        for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
    void number(double value) { word(std::bit_cast<std::uint64_t>(value)); }
    void numbers(const std::vector<double>& values) {
        word(values.size());
        for (const double value : values) number(value);
    }
    std::vector<std::uint8_t> bytes;
};

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    bool word(std::uint64_t& value) {
        if (bytes_.size() - at_ < 8) return false;
        value = 0;
        for (int i = 0; i < 8; ++i) value |= std::uint64_t{bytes_[at_ + i]} << (8 * i);
        at_ += 8;
        return true;
    }
    bool number(double& value) {
        std::uint64_t bits;
        if (!word(bits)) return false;
        value = std::bit_cast<double>(bits);
        return std::isfinite(value);
    }
    bool numbers(std::vector<double>& values, std::uint64_t expected) {
        std::uint64_t count;
        if (!word(count) || count != expected) return false;
        values.resize(static_cast<std::size_t>(count));
        for (double& value : values) {
            if (!number(value)) return false;
        }
        return true;
    }
    bool done() const { return at_ == bytes_.size(); }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
};

}  // namespace

std::vector<std::uint8_t> Monitor::serialize() const {
    Writer out;
    out.bytes.insert(out.bytes.end(), kTag, kTag + 8);
    out.word(kVersion);
    out.number(options_.false_alarm_run);
    out.word(options_.warmup);
    out.word(options_.max_period);
    out.word(run_.n_seen);
    out.word(learning_ ? 1 : 0);
    out.word(warmup_start_);
    out.numbers(recent_);
    if (!learning_) {
        out.word(period_);
        out.numbers(profile_);
        out.number(phi_);
        out.number(run_.previous);
        out.numbers(reference_);
        out.numbers(knot_scores_);
        for (int k = 0; k < 4; ++k) out.number(run_.score_mean[k]);
        for (int k = 0; k < 4; ++k) out.number(score_scale_[k]);
        out.number(long_run_factor_);
        for (int k = 0; k < 4; ++k) out.number(ideal_mean_[k]);
        out.numbers(recent_scores_);
        for (int k = 0; k < 4; ++k) out.number(run_.settled_sums[k]);
        out.word(run_.settled);
        out.word(run_.monitored);
        for (std::size_t s = 0; s < kStatistics; ++s) {
            out.number(run_.level[s]);
            out.word(run_.start[s]);
            out.number(run_.score_sum[s]);
        }
    }
    return std::move(out.bytes);
}

Result<Monitor> Monitor::deserialize(std::span<const std::uint8_t> bytes) {
    const std::string broken = "not a monitor state written by this version of quarn";
    if (bytes.size() < 8 || std::memcmp(bytes.data(), kTag, 8) != 0) return fail(broken);
    Reader in(bytes.subspan(8));
    std::uint64_t version, learning;
    MonitorOptions options;
    if (!in.word(version) || version != kVersion) return fail(broken);
    if (!in.number(options.false_alarm_run) || !in.word(options.warmup) ||
        !in.word(options.max_period) || !check_monitor_options(options)) {
        return fail(broken);
    }
    Monitor monitor(options);
    if (!in.word(monitor.run_.n_seen) || !in.word(learning) || learning > 1 ||
        !in.word(monitor.warmup_start_) || !in.numbers(monitor.recent_, options.warmup)) {
        return fail(broken);
    }
    monitor.learning_ = learning == 1;
    if (monitor.warmup_start_ > monitor.run_.n_seen) return fail(broken);
    if (monitor.learning_) {
        if (monitor.run_.n_seen - monitor.warmup_start_ >= options.warmup) return fail(broken);
        if (!in.done()) return fail(broken);
        monitor.derive();
        return monitor;
    }
    if (monitor.run_.n_seen - monitor.warmup_start_ < options.warmup) return fail(broken);
    if (!in.word(monitor.period_) || monitor.period_ == 1 ||
        monitor.period_ > effective_max_period(options)) {
        return fail(broken);
    }
    const std::uint64_t phases = monitor.period_ ? monitor.period_ : 1;
    const std::uint64_t m = options.warmup - 1;
    bool ok = in.numbers(monitor.profile_, phases) && in.number(monitor.phi_) &&
              in.number(monitor.run_.previous) && in.numbers(monitor.reference_, m) &&
              in.numbers(monitor.knot_scores_, m);
    for (int k = 0; ok && k < 4; ++k) ok = in.number(monitor.run_.score_mean[k]);
    for (int k = 0; ok && k < 4; ++k) ok = in.number(monitor.score_scale_[k]);
    ok = ok && in.number(monitor.long_run_factor_);
    for (int k = 0; ok && k < 4; ++k) ok = in.number(monitor.ideal_mean_[k]);
    ok = ok && in.numbers(monitor.recent_scores_, 4 * options.warmup);
    for (int k = 0; ok && k < 4; ++k) ok = in.number(monitor.run_.settled_sums[k]);
    ok = ok && in.word(monitor.run_.settled) && in.word(monitor.run_.monitored) &&
         monitor.run_.settled <= monitor.run_.monitored;
    for (std::size_t s = 0; ok && s < kStatistics; ++s) {
        Running& run = monitor.run_;
        ok = in.number(run.level[s]) && in.word(run.start[s]) && in.number(run.score_sum[s]) &&
             run.level[s] >= 0.0 && run.start[s] <= run.n_seen;
    }
    if (!ok || !in.done()) return fail(broken);
    if (!std::is_sorted(monitor.reference_.begin(), monitor.reference_.end()) ||
        !std::is_sorted(monitor.knot_scores_.begin(), monitor.knot_scores_.end())) {
        return fail(broken);
    }
    monitor.derive();
    return monitor;
}

}  // namespace quarn
