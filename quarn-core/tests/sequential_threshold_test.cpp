#include "quarn/sequential_threshold.hpp"

#include <oneapi/tbb/task_arena.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "check.hpp"
#include "quarn/single_window.hpp"
#include "quarn/stats.hpp"
#include "sample_series.hpp"

using quarn::BootstrapScratch;
using quarn::BootstrapSettings;
using quarn::OrderKey;
using quarn::SequentialRule;

namespace {

struct Position {
    std::vector<double> series;
    quarn::PrefixSums prefix;
    explicit Position(std::vector<double> values)
        : series(std::move(values)), prefix(quarn::PrefixSums::build(series)) {}

    // All n_perm replicates drawn in one call.
    double at_once(std::uint64_t w, std::uint64_t start, const BootstrapSettings& settings) const {
        BootstrapScratch scratch;
        return *quarn::block_bootstrap_threshold(series, prefix, w, start, 91, settings, scratch);
    }

    double in_rounds(std::uint64_t w, std::uint64_t start, const BootstrapSettings& settings,
                     const SequentialRule& rule, const std::vector<double>& ahead) const {
        BootstrapScratch scratch;
        std::vector<OrderKey> sorted;
        return *quarn::sequential_bootstrap_threshold(series, prefix, w, start, 91, settings,
                                                      scratch, rule, ahead, sorted);
    }
};

BootstrapSettings settings_with(std::uint64_t n_perm, double level) {
    BootstrapSettings settings;
    settings.n_perm = n_perm;
    settings.level = level;
    return settings;
}

// Keys of the values 1, 2, ..., count.
std::vector<OrderKey> counting_keys(int count) {
    std::vector<OrderKey> keys;
    for (int k = count; k >= 1; --k) keys.push_back(quarn::total_order_key(k));
    return keys;
}

bool settled(double level, double threshold, std::vector<double> ahead) {
    std::vector<OrderKey> keys = counting_keys(100);
    return quarn::threshold_settled(keys, level, 1.96, threshold, ahead);
}

}  // namespace

// Replicates added to those a first call left in the scratch give the bits
// of one call that draws them all, on every kernel path: small windows in
// groups, long ones sorted by ranks or as resamples too long for the stack.
TEST(replicates_drawn_in_two_calls_match_one_call) {
    const Position position(sample::noise(5, 3000));
    for (const std::uint64_t w : {10u, 40u, 300u, 700u}) {
        BootstrapScratch scratch;
        BootstrapSettings first = settings_with(100, 0.9);
        (void)quarn::block_bootstrap_threshold(position.series, position.prefix, w, 2 * w, 91,
                                               first, scratch);
        BootstrapSettings rest = settings_with(250, 0.9);
        rest.first_replicate = 100;
        const auto continued = quarn::block_bootstrap_threshold(position.series, position.prefix,
                                                                w, 2 * w, 91, rest, scratch);
        CHECK_BITS(*continued, position.at_once(w, 2 * w, settings_with(250, 0.9)));
    }
}

// A position set up once and drawn over three calls gives the bits of one
// call that draws all its replicates, on every kernel path; the set-up is
// kept until the next position is prepared.
TEST(replicates_drawn_on_one_setup_match_one_call) {
    const Position position(sample::noise(6, 3000));
    for (const std::uint64_t w : {10u, 40u, 300u, 700u}) {
        BootstrapScratch scratch;
        CHECK(quarn::prepare_replicates(position.series, position.prefix, w, w, 91,
                                        settings_with(64, 0.95), scratch)
                  .has_value());
        double last = 0.0;
        for (const std::uint64_t upto : {64u, 192u, 300u}) {
            BootstrapSettings round = settings_with(upto, 0.95);
            round.first_replicate = upto == 64 ? 0 : (upto == 192 ? 64 : 192);
            last = *quarn::prepared_threshold(round, scratch);
        }
        CHECK_BITS(last, position.at_once(w, w, settings_with(300, 0.95)));
    }
    BootstrapScratch empty;
    CHECK(!quarn::prepared_threshold(settings_with(64, 0.95), empty).has_value());
}

// The interval of the 100 values 1 ... 100 at level 0.9 and 1.96 standard
// errors runs from rank 83 to rank 95 (values 84 to 96).
TEST(a_threshold_is_settled_when_no_decided_statistic_is_near_it) {
    CHECK(settled(0.9, 90.1, {10.0, 50.0, 83.9, 96.1}));
    CHECK(settled(0.9, 90.1, {}));
    CHECK(!settled(0.9, 90.1, {10.0, 84.0}));
    CHECK(!settled(0.9, 90.1, {96.0}));
    // The first statistic above the threshold ends what it decides.
    CHECK(settled(0.9, 90.1, {10.0, 200.0, 90.0}));
    CHECK(!settled(0.9, 90.1, {std::numeric_limits<double>::quiet_NaN()}));
    // At level 0.99 the interval reaches past the largest of 100.
    CHECK(!settled(0.99, 99.0, {1.0}));
}

TEST(rounds_stop_once_settled_and_otherwise_draw_all) {
    const Position position(sample::noise(8, 2000));
    const std::uint64_t w = 100, start = 400;
    const BootstrapSettings settings = settings_with(300, 0.85);
    const SequentialRule rule{64, 1.96};
    const double first_round = position.at_once(w, start, settings_with(64, 0.85));
    const double all = position.at_once(w, start, settings);
    // Far above: settled after the first round.
    CHECK_BITS(position.in_rounds(w, start, settings, rule, {1e9}), first_round);
    // Not settled after the first round; a statistic that is never settled
    // draws them all.
    const double later = position.in_rounds(w, start, settings, rule, {first_round});
    CHECK(!check::same_bits(later, first_round));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    CHECK_BITS(position.in_rounds(w, start, settings, rule, {nan}), all);
    CHECK_BITS(position.in_rounds(w, start, settings, SequentialRule{}, {1e9}), all);
    // At a level too high for the interval in fewer than all replicates.
    const BootstrapSettings high = settings_with(300, 0.995);
    CHECK_BITS(position.in_rounds(w, start, high, rule, {1e9}), position.at_once(w, start, high));
}

// Thresholds drawn in rounds see the same statistics, and on a series with
// plain shifts find the same change points, on any pool.
TEST(a_sweep_in_rounds_keeps_statistics_and_is_the_same_on_any_pool) {
    std::vector<double> x = sample::noise(12, 4000);
    for (std::size_t t = 0; t < x.size(); ++t) x[t] += (t / 1000) % 2 == 1 ? 3.0 : 0.0;
    const quarn::PrefixSums prefix = quarn::PrefixSums::build(x);
    quarn::DetectorSettings plain;
    plain.n_perm = 300;
    quarn::DetectorSettings rounds = plain;
    rounds.sequential = SequentialRule{64, 1.96};
    const auto reference = quarn::detect_single_window(x, prefix, 250, plain);
    const auto first = quarn::detect_single_window(x, prefix, 250, rounds);
    for (const int threads : {1, 2, 3}) {
        tbb::task_arena arena(threads);
        arena.execute([&] {
            const auto drawn = quarn::detect_single_window(x, prefix, 250, rounds);
            CHECK(drawn->change_points == reference->change_points);
            CHECK_EQ(drawn->statistics.size(), reference->statistics.size());
            for (std::size_t v = 0; v < drawn->statistics.size(); ++v) {
                CHECK_BITS(drawn->statistics[v], reference->statistics[v]);
            }
            CHECK_EQ(drawn->tapered_block_bootstrap_threshold.size(),
                     first->tapered_block_bootstrap_threshold.size());
            for (std::size_t v = 0; v < drawn->tapered_block_bootstrap_threshold.size(); ++v) {
                CHECK_BITS(drawn->tapered_block_bootstrap_threshold[v],
                           first->tapered_block_bootstrap_threshold[v]);
            }
        });
    }
}
