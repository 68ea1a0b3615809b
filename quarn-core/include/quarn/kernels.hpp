// Run-time choice of the merged-pass kernel: the portable one, or a SIMD
// version where the processor has the instructions. Every path computes the
// same additions in the same order, so results are identical bit for bit
// whichever runs; tests force the portable path to compare the two.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "quarn/merged_pass.hpp"
#include "quarn/total_order.hpp"

// The AVX2 kernel is built for x86-64 with compilers that can target it
// per function (GCC, Clang) or use its intrinsics anywhere (MSVC).
#if (defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))) || \
    (defined(_M_X64) && defined(_MSC_VER))
#define QUARN_HAVE_AVX2_KERNELS 1
#else
#define QUARN_HAVE_AVX2_KERNELS 0
#endif

namespace quarn {

enum class KernelPath : std::uint8_t { portable, avx2 };

// The fastest path that this processor and operating system can run.
KernelPath detected_kernel_path();

// The path in use: the detected one, unless the portable path is forced.
KernelPath active_kernel_path();

// Forces the portable kernels (true) or returns to the detected path
// (false), for every computation that starts afterwards. A plain switch for
// tests and for callers that compare both paths; the core reads no
// environment (the package's engine sets it at import from QUARN_KERNELS).
void force_portable_kernels(bool force);

std::string_view kernel_path_name(KernelPath path);

// Merged pass over two samples of n order keys each, ascending, each
// followed by its padding (pad_sample); `steps` is the step table of n
// (fill_step_table).
using MergedPass = double (*)(const OrderKey* x, const OrderKey* y, std::size_t n,
                              const double* steps);

// Largest sample size for the SIMD pass: its rank counting grows with the
// square of the size, and beyond this the portable pass is as fast.
inline constexpr std::size_t simd_pass_limit = 48;

// The SIMD pass of `path` for samples of n keys, or null where the portable
// pass (merged_pass_portable, which callers compile inline) is the one to
// use: on the portable path and for n above simd_pass_limit.
MergedPass simd_merged_pass(KernelPath path, std::size_t n);

// Largest sample size for replicates taken four at a time (groups): their
// halves are sorted as the columns of rows of four keys, and the four sums
// run in the lanes of one vector.
inline constexpr std::size_t group_limit = 32;

// Keys of one set of rows of a group: a row of four keys per element,
// rounded up to whole blocks of four rows.
inline constexpr std::size_t group_rows_size(std::size_t n) {
    return (n + 3) / 4 * 4 * 4;
}

// Whether replicates of samples of n keys go in groups on `path`.
bool replicate_groups_for(KernelPath path, std::size_t n);

#if QUARN_HAVE_AVX2_KERNELS
// AVX2 version of the merged pass; callable only where the processor has
// AVX2, and for n <= simd_pass_limit.
double merged_pass_avx2(const OrderKey* x, const OrderKey* y, std::size_t n, const double* steps);

// The distances of four replicates at once. Element i of the first half of
// replicate r is key r of row i of `first_rows` (keys 4i ... 4i + 3), the
// second halves likewise in `second_rows`; both hold group_rows_size(n)
// keys and are sorted in place. distances[r] is the merged pass of
// replicate r's two halves, with the same additions as the portable pass.
// AVX2 only; 2 <= n <= group_limit.
void replicate_group_avx2(OrderKey* first_rows, OrderKey* second_rows, std::size_t n,
                          const double* steps, double* distances);
#endif

}  // namespace quarn
