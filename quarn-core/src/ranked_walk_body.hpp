// The walk of resamples by ranks (see RankedResample below), included by
// ranked_walk.cpp for baseline x86-64 and by ranked_walk_avx2.cpp for
// processors with AVX2. The AVX2 build stores less, which is what bounds
// the walk: the ranks a resample holds are read from their counts, eight at
// a time, instead of from a flag per rank written beside each count, and a
// word's counts are cleared in eight stores once taken instead of one store
// per rank; with GCC and Clang it also takes fewer instructions
// (three-operand forms, bit scans and resets in one instruction). The
// floating-point operations are the same in both, in the same order: the
// same bits.
//
// The including file defines QUARN_RANKED_TARGET (the function attribute
// of its instruction set, or nothing) and QUARN_RANKED_WIDE (1 where AVX2
// may be used), and includes it once, inside no namespace.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "quarn/bootstrap.hpp"
#include "quarn/merged_pass.hpp"
#include "quarn/total_order.hpp"
#include "ranked_walk.hpp"

#if QUARN_RANKED_WIDE
#include <immintrin.h>
#elif defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

namespace quarn {

namespace {

// Counts of one rank in a resample: the first half's in the low 16 bits,
// the second half's in the high ones (a half holds at most
// merged_sort_limit values).
constexpr std::uint32_t first_half_count = 1;
constexpr std::uint32_t second_half_count = std::uint32_t{1} << 16;
static_assert(merged_sort_limit < (std::size_t{1} << 16));

// Windows from this size on, with blocks of eight, take the blocks that lie
// in one half in an unrolled loop (the test costs more than it saves where
// few blocks do).
constexpr std::size_t eights_from = 24;

#if QUARN_RANKED_WIDE
// Bit b of the result set where count b of the 64 at `counts` is not zero,
// eight counts at a time.
QUARN_RANKED_TARGET inline std::uint64_t count_bits(const std::uint32_t* counts) {
    std::uint64_t zero = 0;
    for (unsigned q = 0; q < 8; ++q) {
        const __m256i eight =
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(counts + 8 * q));
        const __m256i none = _mm256_cmpeq_epi32(eight, _mm256_setzero_si256());
        const auto mask =
            static_cast<std::uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(none)));
        zero |= static_cast<std::uint64_t>(mask) << (8 * q);
    }
    return ~zero;
}
#else
// Bit b of the result set where byte b of the 64 at `flags` (each 0 or 1)
// is 1: with SSE2, sixteen bytes at a time, each shifted so that its low
// bit becomes its top bit, which the byte mask gathers; otherwise eight
// bytes at a time, whose product with the constant gathers their low bits,
// in order, into its top byte.
QUARN_RANKED_TARGET inline std::uint64_t flag_bits(const std::uint8_t* flags) {
#if defined(__SSE2__) || defined(_M_X64)
    std::uint64_t bits = 0;
    for (unsigned q = 0; q < 4; ++q) {
        const __m128i sixteen =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(flags + 16 * q));
        const auto mask =
            static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_slli_epi16(sixteen, 7)));
        bits |= static_cast<std::uint64_t>(mask) << (16 * q);
    }
    return bits;
#else
    std::uint64_t bits = 0;
    for (unsigned q = 0; q < 8; ++q) {
        std::uint64_t eight;
        std::memcpy(&eight, flags + 8 * q, sizeof eight);
        if constexpr (std::endian::native == std::endian::big) eight = std::byteswap(eight);
        bits |= ((eight * 0x0102040810204080ULL) >> 56) << (8 * q);
    }
    return bits;
#endif
}
#endif

// One replicate's resample by ranks: every resample position holds the
// rank of its drawn key among the keys of all block starts and offsets; the
// resample flags the ranks it holds and counts, per rank, the positions of
// each half that hold it. The walk over the flagged ranks in ascending
// order is the merged pass over the two halves sorted: a rank's first
// element in the merged order opens the term of its value, with F and G
// counting the elements of lower ranks, and its other elements (ties, which
// the pass takes with a term of +0.0 that leaves the sum unchanged) only
// advance F and G. Ranks order as their keys do and equal keys share a
// rank, so the sum is that of merged_pass_portable, with the same additions
// in the same order (keys of a NaN never come this way). `counts` (one per
// rank) and `held` (one flag per rank; the AVX2 build reads the counts
// instead and leaves the flags alone) are zero before the draw and again
// once every word of held ranks has been taken (the flags of a word are
// cleared all at once as the walk reads them, not rank by rank: a byte
// store may alias anything, so the compiler would reload the walk's
// pointers after each one).
class RankedResample {
  public:
    QUARN_RANKED_TARGET RankedResample(const RankedPlan& plan, std::uint32_t* counts,
                                       std::uint8_t* held)
        : plan_(plan),
          values_(plan.ranked_values),
          steps_(plan.steps),
          counts_(counts),
          held_(held) {}

    // Draws replicate k and readies the walk; returns the first word of
    // 64 ranks that holds one. Eights: see run_ranked.
    template <bool Eights>
    QUARN_RANKED_TARGET std::size_t draw(std::uint64_t k) {
        Xoshiro256PlusPlus generator =
            seed_generator(make_replicate_seed(plan_.position_key, plan_.window_size, k));
        // The plan's fields and the buffers in locals: the flags' byte
        // stores could otherwise alias them.
        const std::size_t half = plan_.half;
        const std::size_t length = plan_.length;
        const std::size_t block_length = plan_.block_length;
        const std::uint64_t block_count = plan_.block_count;
        const std::uint64_t block_starts = plan_.block_starts;
        const std::uint32_t* const block_ranks = plan_.block_ranks;
        std::uint32_t* const counts = counts_;
#if !QUARN_RANKED_WIDE
        std::uint8_t* const held = held_;
#endif
        std::size_t filled = 0;
        for (std::uint64_t b = 0; b < block_count; ++b) {
            const std::size_t start =
                static_cast<std::size_t>(uniform_below(generator, block_starts));
            const std::size_t len = std::min(block_length, length - filled);
            const std::uint32_t* source = block_ranks + start * block_length;
            // The block's values up to `split` fall in the first half.
            const std::size_t split = filled < half ? std::min(len, half - filled) : 0;
            if (Eights && len == 8 && (split == 0 || split == 8)) {
                // A whole block of eight in one half: as below, unrolled.
                const std::uint32_t add = split == 0 ? second_half_count : first_half_count;
                for (std::size_t i = 0; i < 8; ++i) {
                    const std::uint32_t rank = source[i];
                    counts[rank] += add;
#if !QUARN_RANKED_WIDE
                    held[rank] = 1;
#endif
                }
                filled += len;
                continue;
            }
            for (std::size_t i = 0; i < split; ++i) {
                const std::uint32_t rank = source[i];
                counts[rank] += first_half_count;
#if !QUARN_RANKED_WIDE
                held[rank] = 1;
#endif
            }
            for (std::size_t i = split; i < len; ++i) {
                const std::uint32_t rank = source[i];
                counts[rank] += second_half_count;
#if !QUARN_RANKED_WIDE
                held[rank] = 1;
#endif
            }
            filled += len;
        }
        std::size_t word = 0;
        std::uint64_t bits = word_bits(0);
        while (bits == 0) bits = word_bits(++word);
        // The first term is (t - t) * |0 - 0|: +0.0, or NaN for an infinite t.
        prev_ = values_[word * 64 + static_cast<std::size_t>(std::countr_zero(bits))];
        acc_ = (prev_ - prev_) * 0.0 + 0.0;
        ij_ = 0;
        return word;
    }

    // Bit b set where rank 64 * word + b is held.
    QUARN_RANKED_TARGET std::uint64_t word_bits(std::size_t word) const {
#if QUARN_RANKED_WIDE
        return count_bits(counts_ + 64 * word);
#else
        return flag_bits(held_ + 64 * word);
#endif
    }

    // The word's held bits, as above; its flags are cleared, so its ranks
    // must all be taken, and then the word ended.
    QUARN_RANKED_TARGET std::uint64_t held_bits(std::size_t word) {
#if QUARN_RANKED_WIDE
        return count_bits(counts_ + 64 * word);
#else
        std::uint8_t* const flags = held_ + 64 * word;
        const std::uint64_t bits = flag_bits(flags);
        std::memset(flags, 0, 64);
        return bits;
#endif
    }

    // After the ranks of a word are taken: with AVX2, its counts are
    // cleared in eight stores (the takes leave them); otherwise the takes
    // have cleared them one by one.
    QUARN_RANKED_TARGET void end_word(std::size_t word) {
#if QUARN_RANKED_WIDE
        std::uint32_t* const counts = counts_ + 64 * word;
        for (unsigned q = 0; q < 8; ++q) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(counts + 8 * q),
                                _mm256_setzero_si256());
        }
#else
        (void)word;
#endif
    }

    // The counts of word `word`'s ranks.
    QUARN_RANKED_TARGET std::uint32_t* word_counts(std::size_t word) const {
        return counts_ + 64 * word;
    }

    // Takes the lowest rank of `bits` (not 0) and clears it; `values` and
    // `counts` are those of the word's ranks (ranked_values from 64 * word
    // on, word_counts).
    QUARN_RANKED_TARGET void take(const double* values, std::uint32_t* counts,
                                  std::uint64_t& bits) {
        const auto b = static_cast<std::size_t>(std::countr_zero(bits));
        bits &= bits - 1;
        const double t = values[b];
        // Consecutive ranks hold different keys, of equal values only for
        // -0.0 and +0.0, whose term the pass masks to +0.0; unmasked it is
        // +0.0 * |F - G| = +0.0 as well, so no mask is needed here.
        const double term =
            (t - prev_) * std::fabs(steps_[ij_ & (second_half_count - 1)] - steps_[ij_ >> 16]);
        acc_ = acc_ + term;
        const std::uint32_t count = counts[b];
#if !QUARN_RANKED_WIDE
        counts[b] = 0;
#endif
        // F and G as one count: neither half's exceeds 2^16 - 1.
        ij_ += count;
        prev_ = t;
    }

    QUARN_RANKED_TARGET double distance() const { return acc_; }

  private:
    const RankedPlan& plan_;
    const double* const values_;
    const double* const steps_;
    std::uint32_t* counts_;
    std::uint8_t* held_;
    double prev_ = 0.0;
    double acc_ = 0.0;
    // F's count in the low 16 bits, G's in the high ones.
    std::uint32_t ij_ = 0;
};

// Words of 64 ranks of a plan.
QUARN_RANKED_TARGET inline std::size_t rank_words(const RankedPlan& plan) {
    return (plan.rank_count + 63) / 64;
}

// Replicate k's distance by ranks.
template <bool Eights>
QUARN_RANKED_TARGET double ranked_replicate(const RankedPlan& plan, std::uint64_t k,
                                            std::uint32_t* counts, std::uint8_t* held) {
    RankedResample resample(plan, counts, held);
    const std::size_t words = rank_words(plan);
    for (std::size_t word = resample.template draw<Eights>(k); word < words; ++word) {
        std::uint64_t bits = resample.held_bits(word);
        const double* const values = plan.ranked_values + 64 * word;
        std::uint32_t* const counts_here = resample.word_counts(word);
        while (bits != 0) resample.take(values, counts_here, bits);
        resample.end_word(word);
    }
    return resample.distance();
}

// The distances of replicates k and k + 1 by ranks, the two walks in step
// so that their additions overlap; each walk is the one above.
template <bool Eights>
QUARN_RANKED_TARGET void ranked_replicate_pair(const RankedPlan& plan, std::uint64_t k,
                                               std::uint32_t* counts, std::uint8_t* held,
                                               double* distances) {
    const std::size_t padded = rank_words(plan) * 64;
    RankedResample a(plan, counts, held);
    RankedResample b(plan, counts + padded, held + padded);
    const std::size_t first =
        std::min(a.template draw<Eights>(k), b.template draw<Eights>(k + 1));
    const std::size_t words = rank_words(plan);
    for (std::size_t word = first; word < words; ++word) {
        const double* const values = plan.ranked_values + 64 * word;
        std::uint32_t* const counts_a = a.word_counts(word);
        std::uint32_t* const counts_b = b.word_counts(word);
        std::uint64_t bits_a = a.held_bits(word);
        std::uint64_t bits_b = b.held_bits(word);
        while (bits_a != 0 && bits_b != 0) {
            a.take(values, counts_a, bits_a);
            b.take(values, counts_b, bits_b);
        }
        while (bits_a != 0) a.take(values, counts_a, bits_a);
        while (bits_b != 0) b.take(values, counts_b, bits_b);
        a.end_word(word);
        b.end_word(word);
    }
    distances[0] = a.distance();
    distances[1] = b.distance();
}

// Replicates begin ... end - 1 by ranks, two at a time, then the last one.
template <bool Eights>
QUARN_RANKED_TARGET void run_ranked_as(const RankedPlan& plan, std::uint64_t begin,
                                       std::uint64_t end, std::uint32_t* counts,
                                       std::uint8_t* held, OrderKey* out,
                                       const RunControl* control) {
    std::uint64_t k = begin;
    for (; end - k >= 2; k += 2) {
        if (control != nullptr && control->stop_requested()) {
            out[k] = out[k + 1] = total_order_key(0.0);
            continue;
        }
        double distances[2];
        ranked_replicate_pair<Eights>(plan, k, counts, held, distances);
        // Back from the standardized scale to the scale of the raw windows.
        out[k] = total_order_key(distances[0] * plan.pooled);
        out[k + 1] = total_order_key(distances[1] * plan.pooled);
    }
    for (; k != end; ++k) {
        // Back from the standardized scale to the scale of the raw windows.
        out[k] = control != nullptr && control->stop_requested()
                     ? total_order_key(0.0)
                     : total_order_key(ranked_replicate<Eights>(plan, k, counts, held) *
                                       plan.pooled);
    }
}

// As run_ranked_as. Blocks of eight values (the block length up to windows
// of some 300 values) that lie in one half are added in an unrolled loop
// (Eights) where the windows are long enough for most blocks to do so.
QUARN_RANKED_TARGET void run_ranked(const RankedPlan& plan, std::uint64_t begin, std::uint64_t end,
                                    std::uint32_t* counts, std::uint8_t* held, OrderKey* out,
                                    const RunControl* control) {
    if (plan.block_length == 8 && plan.half >= eights_from) {
        run_ranked_as<true>(plan, begin, end, counts, held, out, control);
    } else {
        run_ranked_as<false>(plan, begin, end, counts, held, out, control);
    }
}

}  // namespace

}  // namespace quarn
