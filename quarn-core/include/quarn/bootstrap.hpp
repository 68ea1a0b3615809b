// Seeded generator, replicate seeding and the tapered block bootstrap
// threshold of one position.
#pragma once

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/partitioner.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "quarn/control.hpp"
#include "quarn/result.hpp"
#include "quarn/stats.hpp"

namespace quarn {

// xoshiro256++; four words of state, one per replicate.
struct Xoshiro256PlusPlus {
    std::uint64_t s[4];

    std::uint64_t next();
};

// SplitMix64 expansion of `x` into a fresh generator state.
Xoshiro256PlusPlus seed_generator(std::uint64_t x);

// Uniform integer in [0, bound), bound >= 1: widening multiplication with at
// most one correction draw (never a rejection loop or a modulo).
std::uint64_t uniform_below(Xoshiro256PlusPlus& generator, std::uint64_t bound);

// Seed keys: one per window size, one per threshold position, one per replicate.
std::uint64_t make_call_key(std::uint64_t seed, std::uint64_t window_size);
std::uint64_t make_position_key(std::uint64_t call_key, std::uint64_t start);
std::uint64_t make_replicate_seed(std::uint64_t position_key, std::uint64_t window_size,
                                  std::uint64_t replicate);

// Below this many replicates the loop stays on the calling thread.
inline constexpr std::uint64_t parallel_replicate_threshold = 64;

// Element k of the result is f(k). From 64 replicates on, the index range is
// split recursively on the pool of the calling thread, never into pieces of
// fewer than ceil(n / 8) indices; every piece writes only its own slots, so
// the array is the same for any split and any number of threads.
template <class F>
std::vector<double> run_replicates(std::uint64_t n_perm, F&& replicate) {
    std::vector<double> values(static_cast<std::size_t>(n_perm));
    if (n_perm < parallel_replicate_threshold) {
        for (std::uint64_t k = 0; k < n_perm; ++k) values[k] = replicate(k);
        return values;
    }
    // simple_partitioner splits a range only while it is longer than the
    // grain, into halves, so a grain of 2c - 1 keeps every piece >= c.
    const std::uint64_t min_piece = (n_perm + 7) / 8;
    const std::uint64_t grain = 2 * min_piece - 1;
    double* out = values.data();
    tbb::parallel_for(
        tbb::blocked_range<std::uint64_t>(0, n_perm, grain),
        [&](const tbb::blocked_range<std::uint64_t>& piece) {
            for (std::uint64_t k = piece.begin(); k != piece.end(); ++k) out[k] = replicate(k);
        },
        tbb::simple_partitioner());
    return values;
}

// Float to unsigned conversion that saturates: NaN and negatives give 0,
// values of 2^64 and more give 2^64 - 1.
std::uint64_t saturating_to_u64(double value);

// alpha_q as a percentage: 100 * alpha_q up to 1, alpha_q itself above 1.
double percent_from_alpha(double alpha_q);

// Quantile level of one window size with `positions` positions (>= 1).
double quantile_level(double percent, std::uint64_t positions);

// Block length of a reference pair of `reference_length` values, with the
// optional user choice `b`.
std::uint64_t block_length_for(std::uint64_t reference_length, std::optional<std::uint64_t> b);

// Trapezoid weights of one block and the scale that makes their mean square 1.
struct TaperWindow {
    std::uint64_t block_length = 0;
    double taper_ratio = 0.0;
    std::vector<double> weights;
    double scale = 1.0;
};

// Fails when the ramp would not fit in the block (taper_ratio above about 2).
Result<TaperWindow> make_taper_window(std::uint64_t block_length, double taper_ratio);

// Linear-interpolation quantile at `level` in [0, 1]; NaN for no values.
// Reorders `values`.
double quantile_linear(std::span<double> values, double level);

// What stays fixed over the sweep of one window size.
struct BootstrapSettings {
    std::uint64_t n_perm = 300;
    double level = 0.0;
    std::optional<std::uint64_t> b;
    double taper_ratio = 0.5;
    bool center = true;
    double std_floor = quarn::std_floor;
    // A stopped run skips the remaining replicates; its threshold is
    // discarded with the run.
    const RunControl* control = nullptr;
};

// Buffers reused by the thresholds of one sweep: the reference pair and the
// taper window, which is recomputed only when its inputs change.
struct BootstrapScratch {
    std::vector<double> reference;
    std::optional<TaperWindow> taper;
};

// Threshold of the position whose left window starts at `start`.
Result<double> block_bootstrap_threshold(std::span<const double> series, const PrefixSums& prefix,
                                         std::uint64_t window_size, std::uint64_t start,
                                         std::uint64_t position_key,
                                         const BootstrapSettings& settings,
                                         BootstrapScratch& scratch);

}  // namespace quarn
