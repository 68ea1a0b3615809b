#include "quarn/sequential_threshold.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "quarn/tail_settle.hpp"

namespace quarn {

namespace {

// With a tail_risk, the tail's judgement is made after the first round
// only: a later stop saves less than the extra round costs (on small
// windows a round's setting out among the threads costs more than its
// replicates), so the others are drawn together as before.
constexpr std::uint64_t tail_rounds = 1;

// Whether the interval of threshold_settled fits inside r replicates.
bool interval_fits(std::uint64_t r, double level, double z) {
    if (r == 0) return false;
    const double last = static_cast<double>(r - 1);
    const double spread = z * std::sqrt(static_cast<double>(r) * level * (1.0 - level));
    return std::floor(last * level - spread) >= 0.0 && std::ceil(last * level + spread) <= last;
}

}  // namespace

bool threshold_settled(std::span<OrderKey> keys, double level, double z, double threshold,
                       std::span<const double> ahead) {
    if (keys.empty() || !(z >= 0.0)) return false;
    std::sort(keys.begin(), keys.end());
    const double last = static_cast<double>(keys.size() - 1);
    const double spread = z * std::sqrt(static_cast<double>(keys.size()) * level * (1.0 - level));
    const double low_rank = std::floor(last * level - spread);
    const double high_rank = std::ceil(last * level + spread);
    // An interval that reaches past the replicates drawn says nothing.
    if (!(low_rank >= 0.0 && high_rank <= last)) return false;
    const double low = key_value(keys[static_cast<std::size_t>(low_rank)]);
    const double high = key_value(keys[static_cast<std::size_t>(high_rank)]);
    for (const double statistic : ahead) {
        if (!(statistic < low || statistic > high)) return false;
        // The first one above the threshold refreshes it: the ones after it
        // are decided by the next threshold.
        if (statistic > threshold) break;
    }
    return true;
}

Result<double> sequential_bootstrap_threshold(SeriesView series, const PrefixSums& prefix,
                                              std::uint64_t window_size, std::uint64_t start,
                                              std::uint64_t position_key,
                                              const BootstrapSettings& settings,
                                              BootstrapScratch& scratch, const SequentialRule& rule,
                                              std::span<const double> ahead,
                                              std::vector<OrderKey>& sorted) {
    if (rule.round == 0 || rule.round >= settings.n_perm) {
        return block_bootstrap_threshold(series, prefix, window_size, start, position_key,
                                         settings, scratch);
    }
    BootstrapSettings partial = settings;
    std::uint64_t drawn = 0;
    // The position is set up once, for its first round, and every round
    // draws on that setup.
    bool prepared = false;
    const bool tail = rule.tail_risk != 0.0 && window_size >= rule.tail_window;
    for (;;) {
        // Rounds too few for the interval (at high levels: the threshold
        // is then among the largest replicates) are drawn together with the
        // next, at no cost of setting up again.
        std::uint64_t next = std::min(settings.n_perm, drawn + rule.round);
        const bool tail_round = tail && next <= tail_rounds * rule.round;
        while (!tail_round && next < settings.n_perm &&
               !interval_fits(next, settings.level, rule.z)) {
            next = std::min(settings.n_perm, next + rule.round);
        }
        partial.first_replicate = drawn;
        partial.n_perm = next;
        if (!prepared) {
            if (auto ready = prepare_replicates(series, prefix, window_size, start, position_key,
                                                partial, scratch);
                !ready) {
                return fail(std::move(ready.error()));
            }
            prepared = true;
        }
        const Result<double> threshold = prepared_threshold(partial, scratch);
        if (!threshold) return threshold;
        drawn = partial.n_perm;
        if (drawn == settings.n_perm) return threshold;
        // A stopped run is discarded: no need to draw on.
        if (settings.control != nullptr && settings.control->stop_requested()) return threshold;
        sorted.assign(scratch.replicate_keys.begin(), scratch.replicate_keys.end());
        if (interval_fits(drawn, settings.level, rule.z)) {
            if (threshold_settled(sorted, settings.level, rule.z, *threshold, ahead)) {
                return threshold;
            }
        } else if (tail && drawn <= tail_rounds * rule.round) {
            std::sort(sorted.begin(), sorted.end());
            const TailDecision judged = tail_settled(sorted, settings.n_perm, settings.level,
                                                     rule.tail_risk, *threshold, ahead);
            if (judged.settled) return judged.threshold;
        }
    }
}

}  // namespace quarn
