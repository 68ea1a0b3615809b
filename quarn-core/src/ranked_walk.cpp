// The baseline build of the walk by ranks, and the choice of build.
#define QUARN_RANKED_TARGET
#define QUARN_RANKED_WIDE 0
#include "ranked_walk_body.hpp"

namespace quarn {

namespace {

bool processor_runs_ranked_avx2() {
#if !QUARN_HAVE_RANKED_AVX2
    return false;
#elif defined(__GNUC__) || defined(__clang__)
    __builtin_cpu_init();
    return detected_kernel_path() == KernelPath::avx2 && __builtin_cpu_supports("bmi");
#else
    return detected_kernel_path() == KernelPath::avx2;
#endif
}

}  // namespace

void ranked_replicates_portable(const RankedPlan& plan, std::uint64_t begin, std::uint64_t end,
                                std::uint32_t* counts, std::uint8_t* held, OrderKey* out,
                                const RunControl* control) {
    run_ranked(plan, begin, end, counts, held, out, control);
}

RankedRun ranked_run_for(KernelPath path) {
#if QUARN_HAVE_RANKED_AVX2
    static const bool avx2 = processor_runs_ranked_avx2();
    if (path == KernelPath::avx2 && avx2) return &ranked_replicates_avx2;
#else
    (void)path;
    (void)&processor_runs_ranked_avx2;
#endif
    return &ranked_replicates_portable;
}

}  // namespace quarn
