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

#include <array>
#include <cmath>
#include <utility>

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

// Places every element of x and y at its merged position: value k of the
// merged order at merged[(k + 1) * stride] and |F - G| before it at
// gaps[k * stride]. merged[0] repeats the first value, the predecessor of
// position 0 that opens no term.
//
// Merged order: x before y among equal keys, as in the portable pass. x[i]
// has i x keys and rank_x[i] y keys before it. y[j] has j y keys and
// rank_y[j] x keys before it, the x keys at or below it: those with
// rank_x[i] <= j, which (rank_x being ascending) are the first
// max{i + 1 : rank_x[i] <= j}.
template <std::size_t stride>
QUARN_TARGET_AVX2 inline void place_merged(const OrderKey* x, const OrderKey* y, std::size_t n,
                                           const double* steps, double* merged, double* gaps) {
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
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t r = static_cast<std::size_t>(rank_x[i]);
        merged[(i + r + 1) * stride] = key_value(x[i]);
        gaps[(i + r) * stride] = std::fabs(steps[i] - steps[r]);
    }
    for (std::size_t j = 0; j < n; ++j) {
        const std::size_t r = static_cast<std::size_t>(rank_y[j]);
        merged[(j + r + 1) * stride] = key_value(y[j]);
        gaps[(j + r) * stride] = std::fabs(steps[r] - steps[j]);
    }
    merged[0] = key_value(x[0] <= y[0] ? x[0] : y[0]);
}

QUARN_TARGET_AVX2 inline void compare_exchange_rows(__m256i& a, __m256i& b) {
    const __m256d greater = _mm256_castsi256_pd(_mm256_cmpgt_epi64(a, b));
    const __m256d da = _mm256_castsi256_pd(a);
    const __m256d db = _mm256_castsi256_pd(b);
    a = _mm256_castpd_si256(_mm256_blendv_pd(da, db, greater));
    b = _mm256_castpd_si256(_mm256_blendv_pd(db, da, greater));
}

template <std::size_t N, std::size_t... C>
QUARN_TARGET_AVX2 inline void run_rows(__m256i* rows, std::index_sequence<C...>) {
    constexpr const network_detail::Network& network = network_detail::network_for<N>;
    (compare_exchange_rows(rows[network.comparators[C].low], rows[network.comparators[C].high]),
     ...);
}

template <std::size_t... I>
QUARN_TARGET_AVX2 inline void load_rows(__m256i* rows, const OrderKey* keys,
                                        std::index_sequence<I...>) {
    ((rows[I] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(keys + I * lanes))), ...);
}

template <std::size_t... I>
QUARN_TARGET_AVX2 inline void store_rows(const __m256i* rows, OrderKey* keys,
                                         std::index_sequence<I...>) {
    (_mm256_storeu_si256(reinterpret_cast<__m256i*>(keys + I * lanes), rows[I]), ...);
}

// Sorts the four columns of N rows of four keys by one network applied to
// whole rows: every comparator orders four pairs at once.
template <std::size_t N>
QUARN_TARGET_AVX2 void sort_rows(OrderKey* keys) {
    __m256i rows[N];
    load_rows(rows, keys, std::make_index_sequence<N>{});
    run_rows<N>(rows, std::make_index_sequence<network_detail::network_for<N>.size>{});
    store_rows(rows, keys, std::make_index_sequence<N>{});
}

using RowSorter = void (*)(OrderKey*);

template <std::size_t N>
constexpr RowSorter row_sorter_for() {
    if constexpr (N < 2) {
        return nullptr;
    } else {
        return &sort_rows<N>;
    }
}

template <std::size_t... N>
constexpr std::array<RowSorter, sizeof...(N)> make_row_sorters(std::index_sequence<N...>) {
    return {row_sorter_for<N>()...};
}

constexpr std::array<RowSorter, group_limit + 1> row_sorters =
    make_row_sorters(std::make_index_sequence<group_limit + 1>{});

// The four columns of n rows (rounded up to whole blocks of four rows) as
// four arrays, `stride` keys apart.
QUARN_TARGET_AVX2 void columns_of_rows(const OrderKey* rows, std::size_t n, OrderKey* columns,
                                       std::size_t stride) {
    // Lambdas would not inherit the target attribute: plain statements.
    for (std::size_t i = 0; i < n; i += lanes) {
        const __m256i* row = reinterpret_cast<const __m256i*>(rows + i * lanes);
        const __m256i r0 = _mm256_loadu_si256(row);
        const __m256i r1 = _mm256_loadu_si256(row + 1);
        const __m256i r2 = _mm256_loadu_si256(row + 2);
        const __m256i r3 = _mm256_loadu_si256(row + 3);
        const __m256i low01 = _mm256_unpacklo_epi64(r0, r1);
        const __m256i high01 = _mm256_unpackhi_epi64(r0, r1);
        const __m256i low23 = _mm256_unpacklo_epi64(r2, r3);
        const __m256i high23 = _mm256_unpackhi_epi64(r2, r3);
        OrderKey* column = columns + i;
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(column),
                            _mm256_permute2x128_si256(low01, low23, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(column + stride),
                            _mm256_permute2x128_si256(high01, high23, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(column + 2 * stride),
                            _mm256_permute2x128_si256(low01, low23, 0x31));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(column + 3 * stride),
                            _mm256_permute2x128_si256(high01, high23, 0x31));
    }
}

}  // namespace

QUARN_TARGET_AVX2 double merged_pass_avx2(const OrderKey* x, const OrderKey* y, std::size_t n,
                                          const double* steps) {
    using namespace pass_detail;
    if (sorted_keys_hold_nan(x, n) || sorted_keys_hold_nan(y, n)) return quiet_nan();
    double merged[2 * simd_pass_limit + 1];
    double gaps[2 * simd_pass_limit];
    place_merged<1>(x, y, n, steps, merged, gaps);

    // The sum in merged order, the same terms as the portable pass. The
    // first term is (t - t) * 0.
    double prev = merged[0];
    double acc = (prev - prev) * 0.0 + 0.0;
    for (std::size_t k = 0; k < 2 * n; ++k) {
        const double t = merged[k + 1];
        const double term = (t - prev) * gaps[k];
        acc = acc + keep_if(term, mask_of(t != prev));
        prev = t;
    }
    return acc;
}

QUARN_TARGET_AVX2 void replicate_group_avx2(OrderKey* first_rows, OrderKey* second_rows,
                                            std::size_t n, const double* steps, double* distances) {
    row_sorters[n](first_rows);
    row_sorters[n](second_rows);

    // The eight sorted halves as padded arrays: first halves of replicates
    // 0 ... 3, then their second halves.
    constexpr std::size_t stride = group_limit + pass_padding;
    alignas(32) OrderKey halves[2 * lanes * stride];
    columns_of_rows(first_rows, n, halves, stride);
    columns_of_rows(second_rows, n, halves + lanes * stride, stride);
    for (std::size_t h = 0; h < 2 * lanes; ++h) pad_sample(halves + h * stride, n);

    // Replicate r in lane r: merged position k at merged[(k + 1) * 4 + r].
    alignas(32) double merged[(2 * group_limit + 1) * lanes];
    alignas(32) double gaps[2 * group_limit * lanes];
    bool holds_nan[lanes];
    for (std::size_t r = 0; r < lanes; ++r) {
        const OrderKey* x = halves + r * stride;
        const OrderKey* y = halves + (lanes + r) * stride;
        holds_nan[r] = sorted_keys_hold_nan(x, n) || sorted_keys_hold_nan(y, n);
        place_merged<lanes>(x, y, n, steps, merged + r, gaps + r);
    }

    // Four sums side by side, each strictly in its own merged order, with
    // the terms of the single pass; the first term of each is (t - t) * 0.
    const __m256d zero = _mm256_setzero_pd();
    __m256d prev = _mm256_load_pd(merged);
    __m256d acc = _mm256_add_pd(_mm256_mul_pd(_mm256_sub_pd(prev, prev), zero), zero);
    for (std::size_t k = 0; k < 2 * n; ++k) {
        const __m256d t = _mm256_load_pd(merged + (k + 1) * lanes);
        const __m256d opens = _mm256_cmp_pd(t, prev, _CMP_NEQ_UQ);
        const __m256d term =
            _mm256_mul_pd(_mm256_sub_pd(t, prev), _mm256_load_pd(gaps + k * lanes));
        acc = _mm256_add_pd(acc, _mm256_and_pd(term, opens));
        prev = t;
    }
    _mm256_storeu_pd(distances, acc);
    for (std::size_t r = 0; r < lanes; ++r) {
        if (holds_nan[r]) distances[r] = pass_detail::quiet_nan();
    }
}

}  // namespace quarn

#endif
