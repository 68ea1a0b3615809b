#include "quarn/tail_settle.hpp"

#include <oneapi/tbb/task_arena.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "check.hpp"
#include "quarn/sequential_threshold.hpp"
#include "quarn/single_window.hpp"
#include "quarn/stats.hpp"
#include "sample_series.hpp"

using quarn::OrderKey;
using quarn::SequentialRule;

namespace {

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();
constexpr double risk = 1e-3;

// Sorted keys of r replicates spread as the quantiles of a unit exponential:
// the threshold of 300 at level 0.99 is near 4.6.
std::vector<OrderKey> exponential_keys(std::size_t r) {
    std::vector<OrderKey> keys;
    for (std::size_t i = 0; i < r; ++i) {
        const double u = (static_cast<double>(i) + 0.5) / static_cast<double>(r);
        keys.push_back(quarn::total_order_key(-std::log1p(-u)));
    }
    std::sort(keys.begin(), keys.end());
    return keys;
}

quarn::TailDecision judge(std::vector<double> ahead, std::size_t r = 64, std::uint64_t n = 300,
                          double level = 0.99) {
    return quarn::tail_settled(exponential_keys(r), n, level, risk, 3.5, ahead);
}

// The threshold returned decides every statistic up to the first above it
// as the settle did: the ones before it are not above it, that one is.
bool decides_as_settled(const quarn::TailDecision& decision, const std::vector<double>& ahead,
                        std::size_t above) {
    for (std::size_t i = 0; i < ahead.size(); ++i) {
        if ((ahead[i] > decision.threshold) != (i == above)) return false;
        if (i == above) break;
    }
    return true;
}

quarn::BootstrapSettings settings_with(std::uint64_t n_perm, double level) {
    quarn::BootstrapSettings settings;
    settings.n_perm = n_perm;
    settings.level = level;
    return settings;
}

}  // namespace

TEST(far_statistics_are_settled_and_the_threshold_decides_them_the_same) {
    struct Case {
        std::vector<double> ahead;
        std::size_t above;  // index of the first above; past the end for none
    };
    const std::vector<Case> cases = {
        Case{std::vector<double>{0.5, 1.0, 30.0}, 2},
        Case{std::vector<double>{0.2, 1.5, 0.1}, 3},
        Case{std::vector<double>{40.0}, 0},
        Case{std::vector<double>{0.5, 30.0, 4.6, not_a_number}, 1},
        Case{std::vector<double>{}, 0},
    };
    for (const Case& c : cases) {
        const quarn::TailDecision decision = judge(c.ahead);
        CHECK(decision.settled);
        CHECK(decides_as_settled(decision, c.ahead, c.above));
    }
}

TEST(statistics_near_the_threshold_or_unknown_are_never_settled) {
    const std::vector<std::vector<double>> close_by = {
        {4.6}, {0.5, 4.6, 30.0}, {3.8}, {6.0}, {0.5, not_a_number}, {not_a_number, 30.0}};
    for (const std::vector<double>& ahead : close_by) {
        CHECK(!judge(ahead).settled);
    }
    // Too few replicates drawn, or all of them.
    CHECK(!judge({0.5, 30.0}, 8).settled);
    CHECK(!judge({0.5, 30.0}, 300, 300).settled);
    CHECK(!quarn::tail_settled(exponential_keys(64), 300, 0.99, 0.0, 3.5,
                               std::vector<double>{0.5, 30.0})
               .settled);
    // Replicates all equal: no tail to model above them.
    const std::vector<OrderKey> flat(64, quarn::total_order_key(1.0));
    CHECK(!quarn::tail_settled(flat, 300, 0.99, risk, 1.0, std::vector<double>{5.0}).settled);
}

// Level 0: the threshold is the smallest of 10,000 replicates. A statistic
// under all 9,000 drawn is not above it only if the other 1,000 all lie
// above it too, a chance of about 0.95, so it is above it with a chance of
// about 0.05 (a sum of terms far below the smallest double): not settled.
TEST(a_chance_of_terms_below_the_doubles_is_still_summed) {
    const std::vector<OrderKey> keys = exponential_keys(9000);
    CHECK(!quarn::tail_settled(keys, 10000, 0.0, risk, 0.0, std::vector<double>{-1.0}).settled);
}

// The more replicates drawn, the closer to the threshold a statistic can be
// settled: one settled at 64 stays settled at 192.
TEST(more_replicates_settle_nearer_statistics) {
    for (const double statistic : {0.3, 1.0, 12.0, 20.0}) {
        if (judge({statistic}, 64).settled) CHECK(judge({statistic}, 192).settled);
    }
    CHECK(!judge({9.0}, 64).settled || judge({9.0}, 192).settled);
}

TEST(a_sweep_stops_early_only_when_settled) {
    const std::vector<double> x = sample::noise(8, 2000);
    const quarn::PrefixSums prefix = quarn::PrefixSums::build(x);
    const std::uint64_t w = 10, start = 400;
    const SequentialRule rule{64, 1.96, risk};
    const auto at_once = [&](std::uint64_t n_perm) {
        quarn::BootstrapScratch scratch;
        return *quarn::block_bootstrap_threshold(x, prefix, w, start, 91,
                                                 settings_with(n_perm, 0.995), scratch);
    };
    const auto in_rounds = [&](const SequentialRule& with, std::vector<double> ahead) {
        quarn::BootstrapScratch scratch;
        std::vector<OrderKey> sorted;
        return *quarn::sequential_bootstrap_threshold(
            x, prefix, w, start, 91, settings_with(300, 0.995), scratch, with, ahead, sorted);
    };
    const double first_round = at_once(64);
    const double all = at_once(300);
    // Far above: the first round's threshold.
    CHECK_BITS(in_rounds(rule, {1e9}), first_round);
    // Without the tail's judgement, on a window smaller than it asks, or at
    // the threshold itself, all are drawn.
    CHECK_BITS(in_rounds(SequentialRule{64, 1.96}, {1e9}), all);
    CHECK_BITS(in_rounds(SequentialRule{64, 1.96, risk, w + 1}, {1e9}), all);
    CHECK_BITS(in_rounds(SequentialRule{64, 1.96, risk, w}, {1e9}), first_round);
    CHECK_BITS(in_rounds(rule, {all}), all);
    CHECK_BITS(in_rounds(rule, {not_a_number}), all);
}

// A sweep whose thresholds stop early finds, on plain shifts, the change
// points of all the replicates, with the same bits on any pool.
TEST(a_sweep_with_the_tail_settle_is_the_same_on_any_pool) {
    std::vector<double> x = sample::noise(12, 3000);
    for (std::size_t t = 0; t < x.size(); ++t) x[t] += (t / 500) % 2 == 1 ? 4.0 : 0.0;
    const quarn::PrefixSums prefix = quarn::PrefixSums::build(x);
    for (const std::uint64_t w : {10u, 30u}) {
        quarn::DetectorSettings plain;
        plain.n_perm = 300;
        quarn::DetectorSettings rounds = plain;
        rounds.sequential = SequentialRule{64, 1.96, risk};
        const auto reference = quarn::detect_single_window(x, prefix, w, plain);
        const auto first = quarn::detect_single_window(x, prefix, w, rounds);
        CHECK(first->change_points == reference->change_points);
        for (const int threads : {1, 2, 3}) {
            tbb::task_arena arena(threads);
            arena.execute([&] {
                const auto drawn = quarn::detect_single_window(x, prefix, w, rounds);
                CHECK(drawn->change_points == first->change_points);
                CHECK_EQ(drawn->tapered_block_bootstrap_threshold.size(),
                         first->tapered_block_bootstrap_threshold.size());
                for (std::size_t v = 0; v < drawn->tapered_block_bootstrap_threshold.size(); ++v) {
                    CHECK_BITS(drawn->tapered_block_bootstrap_threshold[v],
                               first->tapered_block_bootstrap_threshold[v]);
                }
            });
        }
    }
}
