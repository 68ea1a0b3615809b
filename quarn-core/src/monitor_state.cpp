// The monitor's state: construction, reset, the learnt regime as the
// caller sees it, and the whole state serialised to bytes and back.
#include "quarn/monitor.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "monitor_internal.hpp"

namespace quarn {

using namespace monitor_detail;

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
