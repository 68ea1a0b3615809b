// Recorded results of the monitor on fixed streams: every alarm (all fields,
// doubles by their bits) and the serialised state at regular points, as
// 64-bit digests. Work on the monitor's speed must leave them unchanged;
// a change of what the monitor computes must record them anew (a failing
// run prints the line to paste) and say why.
//
// The streams use exact arithmetic only (sums and ratios of uniforms), so
// they are the same everywhere; the monitor itself calls the math library
// (log, pow), whose last bits may differ between platforms, so the digests
// are checked where they were recorded (glibc on x86-64) and elsewhere only
// their independence of batch sizes is.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "check.hpp"
#include "quarn/monitor.hpp"

using quarn::Monitor;
using quarn::MonitorAlarm;
using quarn::MonitorOptions;

namespace {

class Uniform {
public:
    explicit Uniform(std::uint64_t seed) : state_(seed) {}
    // In [0, 1), a multiple of 2^-53: exact everywhere.
    double operator()() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        z ^= z >> 31;
        return static_cast<double>(z >> 11) * 0x1.0p-53;
    }
    // Mean 0, variance 1 (a sum of four uniforms).
    double bell() {
        const double sum = (*this)() + (*this)() + (*this)() + (*this)();
        return (sum - 2.0) * 1.7320508075688772;
    }

private:
    std::uint64_t state_;
};

// FNV-1a over bytes.
class Digest {
public:
    void bytes(const void* data, std::size_t size) {
        const auto* at = static_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < size; ++i) value = (value ^ at[i]) * 0x100000001B3ULL;
    }
    void word(std::uint64_t word) { bytes(&word, sizeof word); }
    void number(double number) { word(std::bit_cast<std::uint64_t>(number)); }
    std::uint64_t value = 0xCBF29CE484222325ULL;
};

struct Golden {
    const char* name;
    MonitorOptions options;
    std::size_t alarms;
    std::uint64_t alarm_digest;
    std::uint64_t state_digest;
};

// Level, spread and shape changes of bell-shaped noise.
std::vector<double> changes(std::size_t n) {
    Uniform u(11);
    std::vector<double> values(n);
    for (std::size_t i = 0; i < n; ++i) {
        double x = u.bell();
        if (i >= 8000) x += 1.5;
        if (i >= 16000) x *= 2.0;
        if (i >= 24000) {
            const double v = u();
            x = 3.0 * (v * v * v - 0.25);  // skewed
        }
        values[i] = x;
    }
    return values;
}

// A season of twelve, lag-one dependence and a level shift.
std::vector<double> seasonal(std::size_t n) {
    Uniform u(12);
    const double season[12] = {0, 1.5, 2.5, 3, 2.5, 1.5, 0, -1.5, -2.5, -3, -2.5, -1.5};
    std::vector<double> values(n);
    double previous = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        previous = 0.6 * previous + u.bell();
        values[i] = season[i % 12] + previous + (i >= 10000 ? 2.0 : 0.0);
    }
    return values;
}

// Very heavy tails: crowded buckets and far outliers.
std::vector<double> heavy(std::size_t n) {
    Uniform u(13);
    std::vector<double> values(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double x = (u() - 0.5) / (u() + 1e-3);
        values[i] = i >= 12000 ? 4.0 * x + 1.0 : x;
    }
    for (std::size_t i = 500; i < n; i += 3001) values[i] = i % 2 ? 1e300 : -1e300;
    return values;
}

// Whole numbers (ties everywhere) and a stretch of one value.
std::vector<double> ties(std::size_t n) {
    Uniform u(14);
    std::vector<double> values(n);
    for (std::size_t i = 0; i < n; ++i) {
        double x = static_cast<double>(static_cast<long long>(3.0 * u.bell() + 100.0));
        if (i >= 5000 && i < 5400) x = 7.0;
        values[i] = x;
    }
    return values;
}

// Change-free noise under a short false-alarm run: many alarms.
std::vector<double> restless(std::size_t n) {
    Uniform u(15);
    std::vector<double> values(n);
    for (double& value : values) value = u.bell();
    return values;
}

std::vector<double> stream_of(const std::string& name) {
    if (name == "changes") return changes(32000);
    if (name == "seasonal") return seasonal(20000);
    if (name == "heavy") return heavy(24000);
    if (name == "ties") return ties(12000);
    return restless(30000);
}

// Feeds the stream in batches cycling through the given sizes (or, with
// `one_by_one`, the values of each batch one at a time through push());
// digests every alarm and the state after each 2,500 values.
void run(const Golden& golden, const std::vector<std::size_t>& sizes, std::size_t& alarms,
         std::uint64_t& alarm_digest, std::uint64_t& state_digest, bool one_by_one = false) {
    const std::vector<double> values = stream_of(golden.name);
    Monitor monitor = *Monitor::create(golden.options);
    Digest found, states;
    alarms = 0;
    std::size_t at = 0, turn = 0, next_state = 2500;
    while (at < values.size()) {
        const std::size_t size = std::min(sizes[turn++ % sizes.size()], values.size() - at);
        std::vector<MonitorAlarm> raised;
        if (one_by_one) {
            MonitorAlarm alarm;
            for (std::size_t i = at; i < at + size; ++i) {
                if (monitor.push(values[i], alarm)) raised.push_back(alarm);
            }
        } else {
            raised = *monitor.update(std::span(values).subspan(at, size));
        }
        for (const MonitorAlarm& alarm : raised) {
            ++alarms;
            found.word(alarm.position);
            found.word(alarm.detected_at);
            found.word(static_cast<std::uint64_t>(alarm.kind));
            found.word(static_cast<std::uint64_t>(alarm.direction));
            found.number(alarm.evidence);
            found.number(alarm.effect);
        }
        at += size;
        if (at >= next_state || at == values.size()) {
            // Whole batches only, so the points depend on the sizes: the
            // digest of states is compared between runs of equal sizes.
            const std::vector<std::uint8_t> bytes = monitor.serialize();
            states.bytes(bytes.data(), bytes.size());
            next_state = at + 2500;
        }
    }
    alarm_digest = found.value;
    state_digest = states.value;
}

MonitorOptions options(double run, std::uint64_t warmup, std::uint64_t max_period) {
    MonitorOptions o;
    o.false_alarm_run = run;
    o.warmup = warmup;
    o.max_period = max_period;
    return o;
}

// Recorded with the monitor of December 2026 (before its per-value path
// was made faster).
const Golden kGolden[] = {
    {"changes", options(1e7, 500, 50), 3, 0xC063EB1BD182D60DULL, 0x666D0340C0C9FDFEULL},
    {"seasonal", options(1e7, 60, 12), 2, 0x84CF492E7D15050FULL, 0x9816F361BB24EF5CULL},
    {"heavy", options(1e6, 200, 50), 1, 0x17FFA4339D722B47ULL, 0x70D9B36F94009669ULL},
    {"ties", options(1e7, 100, 0), 2, 0x8DE892FC3C02B0C7ULL, 0xF3C648A3716FEF19ULL},
    {"restless", options(1000, 500, 50), 17, 0x773270D5377A58E7ULL, 0xF28872F65A1023BDULL},
};

constexpr bool kRecordedHere =
#if defined(__GLIBC__) && (defined(__x86_64__) || defined(_M_X64))
    true;
#else
    false;
#endif

}  // namespace

TEST(golden_streams_give_the_recorded_alarms_and_states) {
    for (const Golden& golden : kGolden) {
        std::size_t alarms;
        std::uint64_t alarm_digest, state_digest;
        run(golden, {1000}, alarms, alarm_digest, state_digest);
        if (kRecordedHere && (alarms != golden.alarms || alarm_digest != golden.alarm_digest ||
                              state_digest != golden.state_digest)) {
            std::fprintf(stderr,
                         "    {\"%s\", options(%g, %llu, %llu), %zu, 0x%016llXULL, "
                         "0x%016llXULL},\n",
                         golden.name, golden.options.false_alarm_run,
                         static_cast<unsigned long long>(golden.options.warmup),
                         static_cast<unsigned long long>(golden.options.max_period), alarms,
                         static_cast<unsigned long long>(alarm_digest),
                         static_cast<unsigned long long>(state_digest));
            CHECK_EQ(alarms, golden.alarms);
            CHECK_EQ(alarm_digest, golden.alarm_digest);
            CHECK_EQ(state_digest, golden.state_digest);
        }
        // Any batch sizes give the same alarms, and values pushed one at a
        // time the same alarms and states.
        std::size_t other_alarms;
        std::uint64_t other_alarm_digest, other_state_digest;
        run(golden, {1, 7, 1000, 333}, other_alarms, other_alarm_digest, other_state_digest);
        CHECK_EQ(other_alarms, alarms);
        CHECK_EQ(other_alarm_digest, alarm_digest);
        run(golden, {1000}, other_alarms, other_alarm_digest, other_state_digest, true);
        CHECK_EQ(other_alarms, alarms);
        CHECK_EQ(other_alarm_digest, alarm_digest);
        CHECK_EQ(other_state_digest, state_digest);
    }
}
