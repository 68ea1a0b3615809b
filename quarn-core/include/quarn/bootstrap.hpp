// Seeded generator, replicate seeding and the tapered block bootstrap
// threshold of one position.
#pragma once

#include <oneapi/tbb/enumerable_thread_specific.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "quarn/control.hpp"
#include "quarn/defaults.hpp"
#include "quarn/pool.hpp"
#include "quarn/error.hpp"
#include "quarn/stats.hpp"
#include "quarn/total_order.hpp"

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

namespace quarn {

// Full 128-bit product of two 64-bit values.
struct WideProduct {
    std::uint64_t high;
    std::uint64_t low;
};

inline WideProduct multiply_wide(std::uint64_t a, std::uint64_t b) {
#if defined(_MSC_VER) && !defined(__clang__)
#if defined(_M_X64)
    std::uint64_t high = 0;
    const std::uint64_t low = _umul128(a, b, &high);
    return {high, low};
#else
    return {__umulh(a, b), a * b};
#endif
#else
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return {static_cast<std::uint64_t>(product >> 64), static_cast<std::uint64_t>(product)};
#endif
}

namespace seeding {

// SplitMix64 finaliser multipliers, also used to spread indices in the keys.
inline constexpr std::uint64_t mix_c1 = 0xbf58476d1ce4e5b9ULL;
inline constexpr std::uint64_t mix_c2 = 0x94d049bb133111ebULL;
// Separate the call key from the replicate seed.
inline constexpr std::uint64_t call_constant = 0x3903fa2331f06e58ULL;
inline constexpr std::uint64_t replicate_constant = 0x53b28fe19d2bbf48ULL;
// SplitMix64 increment.
inline constexpr std::uint64_t golden_gamma = 0x9e3779b97f4a7c15ULL;

constexpr std::uint64_t rotl(std::uint64_t x, int k) {
    return (x << k) | (x >> (64 - k));
}

}  // namespace seeding

// xoshiro256++; four words of state, one per replicate. The generator and
// the seeding are defined here, in the header, so that the replicate loop
// compiles them inline.
struct Xoshiro256PlusPlus {
    std::uint64_t s[4];

    std::uint64_t next() {
        const std::uint64_t result = seeding::rotl(s[0] + s[3], 23) + s[0];
        const std::uint64_t t = s[1] << 17;
        s[2] ^= s[0];
        s[3] ^= s[1];
        s[1] ^= s[2];
        s[0] ^= s[3];
        s[2] ^= t;
        s[3] = seeding::rotl(s[3], 45);
        return result;
    }
};

// SplitMix64 expansion of `x` into a fresh generator state.
inline Xoshiro256PlusPlus seed_generator(std::uint64_t x) {
    Xoshiro256PlusPlus generator{};
    for (std::uint64_t i = 1; i <= 4; ++i) {
        std::uint64_t z = x + i * seeding::golden_gamma;
        z = (z ^ (z >> 30)) * seeding::mix_c1;
        z = (z ^ (z >> 27)) * seeding::mix_c2;
        z = z ^ (z >> 31);
        generator.s[i - 1] = z;
    }
    return generator;
}

// Uniform integer in [0, bound), bound >= 1: widening multiplication with at
// most one correction draw (never a rejection loop or a modulo).
inline std::uint64_t uniform_below(Xoshiro256PlusPlus& generator, std::uint64_t bound) {
    constexpr std::uint64_t two_32 = std::uint64_t{1} << 32;
    if (bound < two_32) {
        // 32-bit draw: the product of two values below 2^32 fits in 64 bits.
        const std::uint64_t product = (generator.next() >> 32) * bound;
        std::uint64_t result = product >> 32;
        const std::uint64_t low = product & (two_32 - 1);
        if (low > two_32 - bound) {
            // The low part is close enough to 2^32 that the carry from the
            // next 32 bits could change the result: draw them.
            const std::uint64_t carry = ((generator.next() >> 32) * bound) >> 32;
            if (low + carry >= two_32) ++result;
        }
        return result;
    }
    const WideProduct product = multiply_wide(generator.next(), bound);
    std::uint64_t result = product.high;
    // 0 - bound is 2^64 - bound in wrapping arithmetic.
    if (product.low > std::uint64_t{0} - bound) {
        const std::uint64_t carry = multiply_wide(generator.next(), bound).high;
        // low + carry >= 2^64 exactly when the wrapped sum falls below low.
        if (product.low + carry < product.low) ++result;
    }
    return result;
}

// Seed keys: one per window size, one per threshold position, one per replicate.
inline std::uint64_t make_call_key(std::uint64_t seed, std::uint64_t window_size) {
    return seed ^ seeding::call_constant ^ (window_size * seeding::mix_c2);
}

inline std::uint64_t make_position_key(std::uint64_t call_key, std::uint64_t start) {
    return (start * seeding::mix_c1) ^ call_key;
}

inline std::uint64_t make_replicate_seed(std::uint64_t position_key, std::uint64_t window_size,
                                         std::uint64_t replicate) {
    return (replicate * seeding::mix_c1) ^ position_key ^ seeding::replicate_constant ^
           (window_size * seeding::mix_c2);
}

// Below this many replicates the loop stays on the calling thread.
inline constexpr std::uint64_t parallel_replicate_threshold = 64;

// Calls piece(begin, end) on disjoint index ranges that cover 0 ... n_perm.
// Below 64 replicates there is one piece, on the calling thread. From 64 on
// the range is split recursively on the pool of the calling thread, never
// into pieces of fewer than ceil(n / 8) indices. A piece that writes only
// the slots of its own indices gives the same array for any split and any
// number of threads; a piece may set up scratch once for all its indices.
template <class Piece>
void for_each_replicate_piece(std::uint64_t n_perm, Piece&& piece) {
    if (n_perm == 0) return;
    if (n_perm < parallel_replicate_threshold) {
        piece(std::uint64_t{0}, n_perm);
        return;
    }
    // simple_partitioner splits a range only while it is longer than the
    // grain, into halves, so a grain of 2c - 1 keeps every piece >= c.
    const std::uint64_t min_piece = (n_perm + 7) / 8;
    const std::uint64_t grain = 2 * min_piece - 1;
    parallel_pieces(std::uint64_t{0}, n_perm, grain, piece);
}

// Element k of the result is f(k), computed by the pieces above.
template <class F>
std::vector<double> run_replicates(std::uint64_t n_perm, F&& replicate) {
    std::vector<double> values(static_cast<std::size_t>(n_perm));
    double* out = values.data();
    for_each_replicate_piece(n_perm, [&](std::uint64_t begin, std::uint64_t end) {
        for (std::uint64_t k = begin; k != end; ++k) out[k] = replicate(k);
    });
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
double quantile_linear(std::span<const double> values, double level);

// The same quantile of the values whose order keys are given, by selection
// (the keys are reordered).
double quantile_of_keys(std::span<OrderKey> keys, double level);

// The same quantile of ascending order keys, read at its ranks.
double quantile_of_sorted_keys(std::span<const OrderKey> keys, double level);

// An order key and the index of its value.
using KeyIndex = std::pair<OrderKey, std::uint32_t>;

// What stays fixed over the sweep of one window size.
struct BootstrapSettings {
    std::uint64_t n_perm = default_n_perm;
    double level = 0.0;
    std::optional<std::uint64_t> b;
    double taper_ratio = 0.5;
    bool center = true;
    double std_floor = quarn::std_floor;
    // A stopped run skips the remaining replicates; its threshold is
    // discarded with the run.
    const RunControl* control = nullptr;    // Replicates 0 ... first_replicate - 1 are already in the scratch's
    // replicate keys, in any order (left there by a call at the same
    // position whose n_perm was first_replicate): only the others are
    // drawn, and the threshold is the quantile of all n_perm, the same bits
    // as when all are drawn in one call.
    std::uint64_t first_replicate = 0;
};

// What the replicates of one position read besides the scratch's buffers,
// fixed by prepare_replicates.
struct PreparedReplicates {
    std::uint64_t window_size = 0;
    std::uint64_t position_key = 0;
    std::uint64_t block_length = 0;
    std::uint64_t block_count = 0;
    // Back from the standardized scale to the scale of the raw windows.
    double pooled = 0.0;
    // Whether resamples are walked by ranks (rank_count of them).
    bool by_ranks = false;
    std::size_t rank_count = 0;
};

// Buffers reused by the thresholds of one sweep, so that a threshold
// allocates nothing once the first one has run: the reference pair, the
// taper window (recomputed only when its inputs change), the step table of
// the window size, the order keys of the replicate values, and, for
// windows too long for a buffer on the stack, one resample buffer per
// worker thread.
struct BootstrapScratch {
    // The position whose replicates the buffers below are set up for.
    std::optional<PreparedReplicates> prepared;
    std::vector<double> reference;
    std::optional<TaperWindow> taper;
    std::vector<double> steps;
    std::vector<OrderKey> replicate_keys;
    // How many of the replicate keys, from the first, are held ascending
    // (those of the position's earlier calls, where few enough to sort).
    std::uint64_t sorted_keys = 0;
    // For windows whose resamples are walked by ranks: the values of the
    // distinct keys a resample can hold, ascending, the rank among them of
    // the key of every block start and offset, and of every reference value
    // and taper weight; per worker thread, a resample's count of each rank
    // (per half) and a flag per rank it holds (not written by the AVX2
    // walk, which reads the counts instead), zero between replicates.
    std::vector<double> ranked_values;
    std::vector<std::uint32_t> block_ranks;
    std::vector<std::uint32_t> entry_ranks;
    // Their order keys with their indices, while they are ranked.
    std::vector<KeyIndex> reference_order;
    std::vector<KeyIndex> ranked_entries;
    std::vector<KeyIndex> merge_buffer;
    // Per reference value, how many blocks of one taper weight hold it.
    std::vector<std::int32_t> block_cover;
    tbb::enumerable_thread_specific<std::vector<OrderKey>> long_resamples;
    tbb::enumerable_thread_specific<std::vector<std::uint32_t>> rank_counts;
    tbb::enumerable_thread_specific<std::vector<std::uint8_t>> rank_held;
};

// Threshold of the position whose left window starts at `start`: the two
// steps below in one.
Result<double> block_bootstrap_threshold(SeriesView series, const PrefixSums& prefix,
                                         std::uint64_t window_size, std::uint64_t start,
                                         std::uint64_t position_key,
                                         const BootstrapSettings& settings,
                                         BootstrapScratch& scratch);

// Sets up the scratch for the replicates of the position whose left window
// starts at `start`: the standardized reference pair, the taper window, the
// step table and, where resamples are walked by ranks (chosen for
// settings.n_perm replicates), the ranks of the block keys.
Status prepare_replicates(SeriesView series, const PrefixSums& prefix,
                          std::uint64_t window_size, std::uint64_t start,
                          std::uint64_t position_key, const BootstrapSettings& settings,
                          BootstrapScratch& scratch);

// Threshold of the position prepared last in the scratch, from replicates
// settings.first_replicate ... settings.n_perm - 1 drawn now and those
// before them already in the scratch (see BootstrapSettings). Drawing a
// position's replicates over several calls repeats none of its setup and
// gives the bits of one call that draws them all.
Result<double> prepared_threshold(const BootstrapSettings& settings, BootstrapScratch& scratch);

}  // namespace quarn
