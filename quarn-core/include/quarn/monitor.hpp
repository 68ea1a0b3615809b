// Online change detection on a stream of values, with bounded memory.
//
// A monitor first learns the regime from a warm-up of `warmup` values: a
// seasonal profile when one is clearly present, the lag-one dependence of
// what remains (removed by prewhitening), and the distribution of the
// prewhitened residuals as a sorted reference sample. Every later value is
// turned into its rank within that reference (a probability-integral
// transform), which makes the scores below free of the noise's distribution:
//
//   level   normal score of the rank (two-sided),
//   spread  squared normal score (wider / narrower),
//   shape   Legendre scores of order 3 and 4 of the rank (skew / tails).
//
// Each score drives a pair of one-sided CUSUMs. Their thresholds come from
// `false_alarm_run`, the expected number of values between false alarms of
// the whole monitor, through run-length approximations fitted once (see
// monitor_options.cpp). On an alarm the monitor reports where the alarming
// CUSUM last left zero (the change's estimated position), then learns the
// new regime from a fresh warm-up that starts there.
//
// The state serialises to bytes and back exactly; a restored monitor goes
// on bit for bit as the original would. Nothing is random.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "quarn/error.hpp"

namespace quarn {

struct MonitorOptions {
    // Expected number of change-free values between two false alarms.
    double false_alarm_run = 1e7;
    // Values that the monitor learns a regime from, at the start and after
    // every alarm.
    std::uint64_t warmup = 500;
    // Longest seasonal period looked for; 0 looks for none. The warm-up
    // must hold at least six periods.
    std::uint64_t max_period = 50;
};

// Smallest and largest accepted option values.
inline constexpr double kMinFalseAlarmRun = 100.0;
inline constexpr double kMaxFalseAlarmRun = 1e15;
inline constexpr std::uint64_t kMinWarmup = 30;
inline constexpr std::uint64_t kMaxWarmup = 1000000;

// Checks the options; the message names the first offending one.
Status check_monitor_options(const MonitorOptions& options);

enum class AlarmKind : std::uint8_t { level = 0, spread = 1, shape = 2 };

// Which way a score moved: level up/down, spread wider/narrower, shape
// skewed right/left or heavier/lighter tails.
enum class AlarmDirection : std::uint8_t {
    up = 0,
    down = 1,
    wider = 2,
    narrower = 3,
    skewed_right = 4,
    skewed_left = 5,
    heavier_tails = 6,
    lighter_tails = 7,
};

const char* alarm_kind_name(AlarmKind kind);
const char* alarm_direction_name(AlarmDirection direction);

struct MonitorAlarm {
    // Index (from the stream's start) of the first value after the change.
    std::uint64_t position = 0;
    // Index of the value that raised the alarm.
    std::uint64_t detected_at = 0;
    AlarmKind kind = AlarmKind::level;
    AlarmDirection direction = AlarmDirection::up;
    // The alarming statistic over its threshold (at least 1).
    double evidence = 0.0;
    // The mean of the alarming score from position to detected_at, in units
    // of its change-free standard deviation: for a level change about the
    // shift in noise standard deviations.
    double effect = 0.0;
};

// What the monitor learnt of the current regime.
struct MonitorRegime {
    bool learnt = false;
    std::uint64_t start = 0;   // index of the warm-up's first value
    std::uint64_t period = 0;  // seasonal period, 0 for none
    double phi = 0.0;          // lag-one dependence removed
    double long_run_factor = 1.0;
};

class Monitor {
public:
    // A monitor with checked options (use create() for unchecked ones).
    static Result<Monitor> create(const MonitorOptions& options);

    // Reads a batch of values in order and returns the alarms they raise.
    // A batch holding a NaN or an infinity is refused as a whole, before
    // the state changes; the message gives the first such value's index
    // within the batch.
    Result<std::vector<MonitorAlarm>> update(std::span<const double> values);

    // Reads one finite value; returns true and fills `alarm` when it raises
    // one. The caller guarantees that the value is finite.
    bool push(double value, MonitorAlarm& alarm);

    std::uint64_t n_seen() const { return run_.n_seen; }
    const MonitorOptions& options() const { return options_; }
    MonitorRegime regime() const;
    // The thresholds of the CUSUMs, in the order of the statistics.
    std::span<const double> thresholds() const { return thresholds_; }

    // Forgets everything seen, keeping the options.
    void reset();

    // The whole state as bytes, and back. Restoring checks the bytes and
    // refuses anything this version did not write.
    std::vector<std::uint8_t> serialize() const;
    static Result<Monitor> deserialize(std::span<const std::uint8_t> bytes);

    static constexpr std::size_t kStatistics = 8;

private:
    // What every monitored value changes, kept together (the per-value
    // path works on a copy of it through a batch).
    struct Running {
        std::uint64_t n_seen = 0;
        // Derived (not serialised): where the next value goes in the rings,
        // and its seasonal phase.
        std::size_t ring_at = 0;
        std::size_t score_slot = 0;
        std::size_t phase = 0;
        double previous = 0.0;  // last deseasonalised value
        std::uint64_t settled = 0;
        std::uint64_t monitored = 0;
        double score_mean[4] = {0, 0, 0, 0};    // level, spread, skew, tails
        double settled_sums[4] = {0, 0, 0, 0};
        // The CUSUMs: their values, the index of the first value of each
        // one's current run, and the sum of its (signed, standardised)
        // score over that run.
        double level[kStatistics] = {};
        std::uint64_t start[kStatistics] = {};
        double score_sum[kStatistics] = {};
    };
    // The learnt regime's constants of the per-value path (derived).
    struct Fixed {
        double scale[4] = {1, 1, 1, 1};
        double prior_ideal[4] = {0, 0, 0, 0};  // the ideal means times the prior weight
        double prior = 0.0;
        double inverse_m = 0.0;
        double threshold[kStatistics] = {};
    };
    struct Views;

    explicit Monitor(const MonitorOptions& options);
    void learn();
    void restart_warmup(std::uint64_t from, std::uint64_t detected_at);
    void gather(double value);
    Views views();
    std::size_t scan(const double* values, std::size_t count, MonitorAlarm& alarm, bool& raised);
    bool raise(MonitorAlarm& alarm);
    void derive();

    MonitorOptions options_;
    std::vector<double> thresholds_;  // kStatistics, derived from the options

    Running run_;
    // The last `warmup` values, as a ring: the value of index i sits at
    // i % warmup.
    std::vector<double> recent_;
    // Warm-up in progress: values gathered since warmup_start_.
    bool learning_ = true;
    std::uint64_t warmup_start_ = 0;

    // The learnt regime.
    std::uint64_t period_ = 0;
    std::vector<double> profile_;  // per phase (one entry without season)
    double phi_ = 0.0;
    std::vector<double> reference_;      // sorted residuals
    std::vector<double> knot_scores_;    // normal score at each reference value
    double score_scale_[4] = {1, 1, 1, 1};  // reciprocal standard deviations
    // The raw scores of the last `warmup` monitored values (a ring, four
    // per value); with the sums of those that have left it (in run_), the
    // scores' means under the current reference are re-estimated from them.
    std::vector<double> recent_scores_;
    double ideal_mean_[4] = {0, 0, 0, 0};
    double long_run_factor_ = 1.0;

    // Derived from the fields above (not serialised): the constants of the
    // per-value path, and buckets of the reference's range that start the
    // search of a residual's place near its answer.
    Fixed fixed_;
    std::vector<std::uint32_t> buckets_;
    std::vector<double> padded_;  // the reference, then +infinity
    double bucket_low_ = 0.0;
    double bucket_scale_ = 0.0;
};

}  // namespace quarn
