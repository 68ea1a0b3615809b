// The monitor's per-value path: a batch read in chunks (their values'
// residuals, places and raw scores first, then the CUSUMs updated with
// them up to the first crossing), one value at a time, and the alarm a
// crossing raises.
#include "quarn/monitor.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

// SSE2 is part of every x86-64 processor; elsewhere plain code does the same.
#if !defined(QUARN_MONITOR_PLAIN) && (defined(__SSE2__) || defined(_M_X64))
#include <emmintrin.h>
#define QUARN_MONITOR_SSE2 1
#else
#define QUARN_MONITOR_SSE2 0
#endif

#include "monitor_internal.hpp"

namespace quarn {

using namespace monitor_detail;

namespace {

// The statistics, two one-sided CUSUMs per score: level up/down, spread
// wider/narrower, skew right/left, tails heavier/lighter. Statistic s
// accumulates sign(s) * score(s / 2) - kDrift[s].
constexpr double kDrift[Monitor::kStatistics] = {0.5, 0.5, 0.6, 0.3, 0.35, 0.35, 0.35, 0.35};

// The direction each statistic's alarm reports.
constexpr AlarmDirection kDirections[Monitor::kStatistics] = {
    AlarmDirection::up,           AlarmDirection::down,         AlarmDirection::wider,
    AlarmDirection::narrower,     AlarmDirection::skewed_right, AlarmDirection::skewed_left,
    AlarmDirection::heavier_tails, AlarmDirection::lighter_tails};

}  // namespace

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

}  // namespace quarn
