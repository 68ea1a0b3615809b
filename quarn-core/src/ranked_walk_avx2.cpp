// The AVX2 build of the walk by ranks, marked per function (with GCC and
// Clang, also for BMI1) so that nothing else in the library leaves baseline
// x86-64; MSVC takes the intrinsics anywhere. No fused multiply-add is
// enabled: each term is rounded as in the baseline.
#include "ranked_walk.hpp"

#if QUARN_HAVE_RANKED_AVX2

#if defined(__GNUC__) || defined(__clang__)
#define QUARN_RANKED_TARGET __attribute__((target("avx2,bmi")))
#else
#define QUARN_RANKED_TARGET
#endif
#define QUARN_RANKED_WIDE 1
#include "ranked_walk_body.hpp"

namespace quarn {

QUARN_RANKED_TARGET void ranked_replicates_avx2(const RankedPlan& plan, std::uint64_t begin,
                                                std::uint64_t end, std::uint32_t* counts,
                                                std::uint8_t* held, OrderKey* out,
                                                const RunControl* control) {
    run_ranked(plan, begin, end, counts, held, out, control);
}

}  // namespace quarn

#endif
