// Bootstrap replicates walked by ranks: what bootstrap.cpp hands to the walk,
// and the walk's two builds (baseline, and AVX2 where the processor has it).
#pragma once

#include <cstddef>
#include <cstdint>

#include "quarn/control.hpp"
#include "quarn/kernels.hpp"
#include "quarn/total_order.hpp"

// The AVX2 build of the walk is built where the other AVX2 kernels are.
#define QUARN_HAVE_RANKED_AVX2 QUARN_HAVE_AVX2_KERNELS

namespace quarn {

// What every replicate of one threshold reads, where resamples are walked by
// ranks: the rank of the key of offset i of the block starting at s, at
// s * block_length + i, the value of every rank, and the number of ranks.
struct RankedPlan {
    double pooled;
    std::size_t half;    // w: each half of the resample
    std::size_t length;  // L = 2w
    std::size_t block_length;
    std::uint64_t block_count;
    std::uint64_t block_starts;
    std::uint64_t position_key;
    std::uint64_t window_size;
    const double* steps;
    const std::uint32_t* block_ranks;
    const double* ranked_values;
    std::size_t rank_count;
};

// Rank slots of one resample: the rank count in whole words of 64.
inline std::size_t ranked_slots(const RankedPlan& plan) {
    return (plan.rank_count + 63) / 64 * 64;
}

// Replicates begin ... end - 1 into out[k], the order keys of their
// distances times plan.pooled (+0.0 once a stop is requested). `counts`
// and `held` hold 2 * ranked_slots(plan) zeros, and are zero again after.
using RankedRun = void (*)(const RankedPlan& plan, std::uint64_t begin, std::uint64_t end,
                           std::uint32_t* counts, std::uint8_t* held, OrderKey* out,
                           const RunControl* control);

void ranked_replicates_portable(const RankedPlan& plan, std::uint64_t begin, std::uint64_t end,
                                std::uint32_t* counts, std::uint8_t* held, OrderKey* out,
                                const RunControl* control);

#if QUARN_HAVE_RANKED_AVX2
// Callable only where ranked_avx2_runs().
void ranked_replicates_avx2(const RankedPlan& plan, std::uint64_t begin, std::uint64_t end,
                            std::uint32_t* counts, std::uint8_t* held, OrderKey* out,
                            const RunControl* control);
#endif

// The build of the walk for `path`: AVX2 where the path is AVX2 (and, with
// GCC and Clang, whose AVX2 build also uses BMI1, the processor has it), the
// baseline one otherwise.
RankedRun ranked_run_for(KernelPath path);

}  // namespace quarn
