// The AVX2 build of the walk by ranks (also BMI1 and POPCNT), marked per
// function so that nothing else in the library leaves baseline x86-64. No
// fused multiply-add is enabled: each term is rounded as in the baseline.
#include "ranked_walk.hpp"

#if QUARN_HAVE_RANKED_AVX2

#define QUARN_RANKED_TARGET __attribute__((target("avx2,bmi,popcnt")))
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
