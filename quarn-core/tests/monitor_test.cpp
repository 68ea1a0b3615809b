#include "quarn/monitor.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "check.hpp"

using quarn::AlarmDirection;
using quarn::AlarmKind;
using quarn::Monitor;
using quarn::MonitorAlarm;
using quarn::MonitorOptions;

namespace {

// A portable generator (splitmix64) and Box-Muller normals, so that the
// streams are the same on every platform.
class Noise {
public:
    explicit Noise(std::uint64_t seed) : state_(seed) {}
    double uniform() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        z ^= z >> 31;
        return (static_cast<double>(z >> 11) + 0.5) * 0x1.0p-53;
    }
    double normal() {
        const double radius = std::sqrt(-2.0 * std::log(uniform()));
        return radius * std::cos(6.283185307179586 * uniform());
    }

private:
    std::uint64_t state_;
};

std::vector<double> gaussian(std::size_t n, std::uint64_t seed) {
    Noise noise(seed);
    std::vector<double> values(n);
    for (double& value : values) value = noise.normal();
    return values;
}

std::vector<double> autoregressive(std::size_t n, double phi, std::uint64_t seed) {
    Noise noise(seed);
    std::vector<double> values(n);
    double previous = 0.0;
    for (double& value : values) value = previous = phi * previous + noise.normal();
    return values;
}

Monitor fresh(MonitorOptions options = {}) { return *Monitor::create(options); }

std::vector<MonitorAlarm> run(Monitor& monitor, const std::vector<double>& values) {
    return *monitor.update(values);
}

bool same(const std::vector<MonitorAlarm>& a, const std::vector<MonitorAlarm>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].position != b[i].position || a[i].detected_at != b[i].detected_at ||
            a[i].kind != b[i].kind || a[i].direction != b[i].direction ||
            !check::same_bits(a[i].evidence, b[i].evidence) ||
            !check::same_bits(a[i].effect, b[i].effect)) {
            return false;
        }
    }
    return true;
}

}  // namespace

TEST(options_are_checked_with_their_names) {
    MonitorOptions options;
    options.false_alarm_run = 10.0;
    CHECK(Monitor::create(options).error().starts_with("false_alarm_run must be a number"));
    options.false_alarm_run = std::numeric_limits<double>::quiet_NaN();
    CHECK(!Monitor::create(options));
    options = {};
    options.warmup = 29;
    CHECK_EQ(Monitor::create(options).error(),
             std::string("warmup must be an integer from 30 to 1000000, got 29"));
    options = {};
    options.max_period = 2000000;
    CHECK(Monitor::create(options).error().starts_with("max_period must be"));
    CHECK(Monitor::create(MonitorOptions{}).has_value());
}

TEST(thresholds_grow_with_the_false_alarm_run) {
    MonitorOptions options;
    options.false_alarm_run = 1e4;
    const Monitor loose = fresh(options);
    options.false_alarm_run = 1e8;
    const Monitor strict = fresh(options);
    for (std::size_t s = 0; s < Monitor::kStatistics; ++s) {
        CHECK(loose.thresholds()[s] >= 1.0);
        CHECK(strict.thresholds()[s] > loose.thresholds()[s]);
    }
}

TEST(change_free_streams_raise_no_alarm) {
    for (std::uint64_t seed = 1; seed <= 3; ++seed) {
        Monitor monitor = fresh();
        CHECK_EQ(run(monitor, gaussian(5000, seed)).size(), std::size_t{0});
        Monitor dependent = fresh();
        CHECK_EQ(run(dependent, autoregressive(5000, 0.8, seed)).size(), std::size_t{0});
        CHECK_EQ(dependent.n_seen(), std::uint64_t{5000});
        CHECK(dependent.regime().phi > 0.6);
    }
}

TEST(a_level_shift_is_found_where_it_happened) {
    for (const double shift : {2.0, -2.0}) {
        std::vector<double> values = gaussian(3000, 7);
        for (std::size_t i = 1500; i < values.size(); ++i) values[i] += shift;
        Monitor monitor = fresh();
        const auto alarms = run(monitor, values);
        CHECK(!alarms.empty());
        if (alarms.empty()) continue;
        CHECK(alarms[0].kind == AlarmKind::level);
        CHECK(alarms[0].direction == (shift > 0 ? AlarmDirection::up : AlarmDirection::down));
        CHECK(alarms[0].position >= 1490 && alarms[0].position <= 1505);
        CHECK(alarms[0].detected_at >= 1500 && alarms[0].detected_at < 1540);
        CHECK(alarms[0].evidence >= 1.0);
        CHECK(std::fabs(alarms[0].effect) > 1.0);
        CHECK_EQ(alarms.size(), std::size_t{1});  // the new regime is learnt
    }
}

TEST(spread_and_shape_changes_have_their_kinds) {
    std::vector<double> wider = gaussian(3000, 11);
    for (std::size_t i = 1500; i < wider.size(); ++i) wider[i] *= 3.0;
    Monitor monitor = fresh();
    auto alarms = run(monitor, wider);
    CHECK(!alarms.empty() && alarms[0].kind == AlarmKind::spread &&
          alarms[0].direction == AlarmDirection::wider && alarms[0].detected_at >= 1500);

    // Normal, then an exponential with the same mean and variance.
    Noise noise(12);
    std::vector<double> skewed = gaussian(6000, 13);
    for (std::size_t i = 2000; i < skewed.size(); ++i) skewed[i] = -std::log(noise.uniform()) - 1.0;
    Monitor shape = fresh();
    alarms = run(shape, skewed);
    CHECK(!alarms.empty() && alarms[0].kind == AlarmKind::shape && alarms[0].detected_at >= 2000);
}

TEST(a_constant_warmup_alarms_on_any_departure) {
    std::vector<double> values(700, 5.0);
    for (std::size_t i = 650; i < values.size(); ++i) values[i] = 5.5;
    Monitor monitor = fresh();
    const auto alarms = run(monitor, values);
    CHECK(!alarms.empty() && alarms[0].position == 650 && alarms[0].kind != AlarmKind::shape);
}

TEST(a_seasonal_profile_is_learnt_and_removed) {
    Noise noise(21);
    std::vector<double> values(6000);
    for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] = 2.0 * std::sin(6.283185307179586 * static_cast<double>(i) / 24.0) +
                    noise.normal();
    }
    Monitor monitor = fresh();
    CHECK_EQ(run(monitor, values).size(), std::size_t{0});
    CHECK_EQ(monitor.regime().period, std::uint64_t{24});
    MonitorOptions off;
    off.max_period = 0;
    Monitor plain = fresh(off);
    run(plain, std::vector<double>(values.begin(), values.begin() + 600));
    CHECK_EQ(plain.regime().period, std::uint64_t{0});
}

TEST(batches_of_any_size_give_the_same_alarms_and_state) {
    std::vector<double> values = gaussian(9000, 31);
    for (std::size_t i = 2000; i < values.size(); ++i) values[i] += 1.5;
    for (std::size_t i = 5000; i < values.size(); ++i) values[i] *= 2.5;
    Monitor whole = fresh();
    const auto expected = run(whole, values);
    CHECK(expected.size() >= 2);
    for (const std::size_t batch : {std::size_t{1}, std::size_t{7}, std::size_t{1000}}) {
        Monitor pieces = fresh();
        std::vector<MonitorAlarm> found;
        for (std::size_t at = 0; at < values.size(); at += batch) {
            const std::size_t end = std::min(values.size(), at + batch);
            const auto alarms = *pieces.update(std::span(values).subspan(at, end - at));
            found.insert(found.end(), alarms.begin(), alarms.end());
        }
        CHECK(same(found, expected));
        CHECK(pieces.serialize() == whole.serialize());
    }
}

TEST(a_restored_state_goes_on_bit_for_bit) {
    std::vector<double> values = autoregressive(8000, 0.5, 41);
    for (std::size_t i = 3000; i < values.size(); ++i) values[i] += 3.0;
    Monitor whole = fresh();
    const auto expected = run(whole, values);
    CHECK(!expected.empty());
    for (const std::size_t cut : {std::size_t{0}, std::size_t{100}, std::size_t{2999},
                                  std::size_t{3010}, std::size_t{7999}}) {
        Monitor first = fresh();
        auto found = *first.update(std::span(values).first(cut));
        const auto bytes = first.serialize();
        auto restored = Monitor::deserialize(bytes);
        CHECK(restored.has_value());
        if (!restored) continue;
        CHECK(restored->serialize() == bytes);
        const auto rest = *restored->update(std::span(values).subspan(cut));
        found.insert(found.end(), rest.begin(), rest.end());
        CHECK(same(found, expected));
        CHECK(restored->serialize() == whole.serialize());
    }
}

TEST(damaged_states_are_refused) {
    Monitor monitor = fresh();
    run(monitor, gaussian(500, 51));
    const auto bytes = monitor.serialize();
    const std::string refused = "not a monitor state written by this version of quarn";
    CHECK_EQ(Monitor::deserialize({}).error(), refused);
    CHECK_EQ(Monitor::deserialize(std::span(bytes).first(bytes.size() - 1)).error(), refused);
    auto longer = bytes;
    longer.push_back(0);
    CHECK_EQ(Monitor::deserialize(longer).error(), refused);
    auto other_version = bytes;
    other_version[8] = 2;
    CHECK_EQ(Monitor::deserialize(other_version).error(), refused);
    auto bad_option = bytes;
    bad_option[24] = 0;  // warmup's low byte: 300 becomes 256 with the wrong length
    CHECK(!Monitor::deserialize(bad_option));
}

TEST(bad_values_leave_the_state_unchanged) {
    Monitor monitor = fresh();
    run(monitor, gaussian(400, 61));
    const auto before = monitor.serialize();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> batch = {1.0, 2.0, nan};
    const auto refused = monitor.update(batch);
    CHECK(!refused && refused.error() == "values contain a NaN or infinite value at index 2");
    batch = {-inf};
    CHECK(!monitor.update(batch));
    CHECK(monitor.serialize() == before);
    CHECK_EQ(monitor.n_seen(), std::uint64_t{400});
}

TEST(extreme_magnitudes_do_not_break_the_monitor) {
    std::vector<double> values = gaussian(1000, 71);
    for (double& value : values) value *= 1e307;
    values[600] = std::numeric_limits<double>::max();
    values[601] = -std::numeric_limits<double>::max();
    Monitor monitor = fresh();
    const auto alarms = monitor.update(values);
    CHECK(alarms.has_value());
    CHECK(Monitor::deserialize(monitor.serialize()).has_value());
}

TEST(reset_forgets_everything_but_the_options) {
    MonitorOptions options;
    options.warmup = 100;
    Monitor monitor = fresh(options);
    run(monitor, gaussian(500, 81));
    monitor.reset();
    CHECK_EQ(monitor.n_seen(), std::uint64_t{0});
    CHECK(!monitor.regime().learnt);
    CHECK(monitor.serialize() == fresh(options).serialize());
}

TEST(values_with_many_ties_are_ranked_by_mid_rank) {
    // Whole numbers: long runs of equal reference values, searched by
    // bisection within their bucket and ranked at their middle.
    std::vector<double> values = gaussian(6000, 91);
    for (double& value : values) value = std::round(2.0 * value);
    Monitor quiet = fresh();
    CHECK_EQ(run(quiet, std::vector<double>(values.begin(), values.begin() + 4000)).size(),
             std::size_t{0});
    for (std::size_t i = 4000; i < values.size(); ++i) values[i] += 3.0;
    Monitor shifted = fresh();
    const auto alarms = run(shifted, values);
    CHECK(!alarms.empty() && alarms[0].kind == AlarmKind::level &&
          alarms[0].direction == AlarmDirection::up && alarms[0].detected_at >= 4000 &&
          alarms[0].detected_at < 4100);
}
