// The monitor's options: their check, the CUSUMs' thresholds that follow
// from the false-alarm run (with the run-length constants fitted once), the
// longest seasonal period a warm-up is searched for, and the names of the
// alarms' kinds and directions.
#include "quarn/monitor.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "monitor_internal.hpp"

namespace quarn {

using namespace monitor_detail;

namespace {

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

// Warm-up values per seasonal period, at least.
constexpr std::uint64_t kPeriodsPerWarmup = 6;

}  // namespace

namespace monitor_detail {

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

}  // namespace monitor_detail

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

}  // namespace quarn
