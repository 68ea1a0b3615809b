// AVX2 version of the merged pass over two samples of equal size.
//
// The portable pass finds the merged order one comparison at a time, and
// each step waits for the load that the previous decision chose. Here the
// merged position of every x element comes from counting, four keys per
// instruction, how many y keys order before it; the positions of the y
// elements follow from those counts. Every element is then placed at its
// position, and only the sum runs one term after the other, in merged
// order, with the same terms as the portable pass.
//
// Only this file uses AVX2, and only inside functions marked for it, so the
// rest of the library stays baseline x86-64. No fused multiply-add is
// enabled: the terms are a subtraction, a multiplication and an addition,
// each rounded on its own.
#include "quarn/kernels.hpp"

#if QUARN_HAVE_AVX2_KERNELS

#include <immintrin.h>

#include <cmath>

#if defined(__GNUC__) || defined(__clang__)
#define QUARN_TARGET_AVX2 __attribute__((target("avx2")))
#else
#define QUARN_TARGET_AVX2
#endif

namespace quarn {

namespace {

constexpr std::size_t lanes = 4;
// Rank counts of the largest samples, rounded up to whole vectors.
constexpr std::size_t max_ranks = (simd_pass_limit + lanes - 1) / lanes * lanes;

// Adds to counts[l] (four of them per chunk) how many of the n keys of
// `others` lie below chunked[l]; `chunks` chunks of four keys share one
// pass over `others`, their totals staying in registers.
template <std::size_t chunks>
QUARN_TARGET_AVX2 inline void count_below_block(const OrderKey* chunked, const OrderKey* others,
                                                std::size_t n, std::int64_t* counts) {
    __m256i keys[chunks];
    __m256i totals[chunks];
    for (std::size_t b = 0; b < chunks; ++b) {
        keys[b] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(chunked + b * lanes));
        totals[b] = _mm256_setzero_si256();
    }
    for (std::size_t j = 0; j < n; ++j) {
        const __m256i other = _mm256_set1_epi64x(others[j]);
        // All ones (-1) where the other key is below: subtracting counts it.
        for (std::size_t b = 0; b < chunks; ++b) {
            totals[b] = _mm256_sub_epi64(totals[b], _mm256_cmpgt_epi64(keys[b], other));
        }
    }
    for (std::size_t b = 0; b < chunks; ++b) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(counts + b * lanes), totals[b]);
    }
}

// below[i] = how many keys of y (n of them) lie below x[i], for i < n
// (whole vectors are written, up to the next multiple of four).
QUARN_TARGET_AVX2 void count_below(const OrderKey* x, const OrderKey* y, std::size_t n,
                                   std::int64_t* below) {
    const std::size_t chunks = (n + lanes - 1) / lanes;
    std::size_t c = 0;
    for (; c + 4 <= chunks; c += 4) count_below_block<4>(x + c * lanes, y, n, below + c * lanes);
    switch (chunks - c) {
        case 3:
            count_below_block<3>(x + c * lanes, y, n, below + c * lanes);
            break;
        case 2:
            count_below_block<2>(x + c * lanes, y, n, below + c * lanes);
            break;
        case 1:
            count_below_block<1>(x + c * lanes, y, n, below + c * lanes);
            break;
        default:
            break;
    }
}

}  // namespace

QUARN_TARGET_AVX2 double merged_pass_avx2(const OrderKey* x, const OrderKey* y, std::size_t n,
                                          const double* steps) {
    using namespace pass_detail;
    if (sorted_keys_hold_nan(x, n) || sorted_keys_hold_nan(y, n)) return quiet_nan();

    // Merged order: x before y among equal keys, as in the portable pass.
    // x[i] has i x keys and rank_x[i] y keys before it. y[j] has j y keys
    // and rank_y[j] x keys before it, the x keys at or below it: those
    // with rank_x[i] <= j, which (rank_x being ascending) are the first
    // max{i + 1 : rank_x[i] <= j}.
    alignas(32) std::int64_t rank_x[max_ranks];
    std::int64_t rank_y[simd_pass_limit + 1];
    count_below(x, y, n, rank_x);
    for (std::size_t j = 0; j <= n; ++j) rank_y[j] = 0;
    for (std::size_t i = 0; i < n; ++i) rank_y[rank_x[i]] = static_cast<std::int64_t>(i) + 1;
    std::int64_t running = 0;
    for (std::size_t j = 0; j < n; ++j) {
        running = running > rank_y[j] ? running : rank_y[j];
        rank_y[j] = running;
    }

    // Every element at its merged position, with |F - G| before it.
    double merged[2 * simd_pass_limit];
    double gaps[2 * simd_pass_limit];
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t r = static_cast<std::size_t>(rank_x[i]);
        merged[i + r] = key_value(x[i]);
        gaps[i + r] = std::fabs(steps[i] - steps[r]);
    }
    for (std::size_t j = 0; j < n; ++j) {
        const std::size_t r = static_cast<std::size_t>(rank_y[j]);
        merged[j + r] = key_value(y[j]);
        gaps[j + r] = std::fabs(steps[r] - steps[j]);
    }

    // The sum in merged order, the same terms as the portable pass. The
    // first term is (t - t) * 0, t the first element (x first on a tie).
    double prev = key_value(x[0] <= y[0] ? x[0] : y[0]);
    double acc = (prev - prev) * 0.0 + 0.0;
    for (std::size_t k = 0; k < 2 * n; ++k) {
        const double t = merged[k];
        const double term = (t - prev) * gaps[k];
        acc = acc + keep_if(term, mask_of(t != prev));
        prev = t;
    }
    return acc;
}

}  // namespace quarn

#endif
