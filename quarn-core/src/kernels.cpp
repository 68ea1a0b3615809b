#include "quarn/kernels.hpp"

#include <atomic>

#if QUARN_HAVE_AVX2_KERNELS && defined(_MSC_VER) && !defined(__clang__)
#include <immintrin.h>
#include <intrin.h>
#endif

namespace quarn {

namespace {

bool processor_runs_avx2() {
#if !QUARN_HAVE_AVX2_KERNELS
    return false;
#elif defined(_MSC_VER) && !defined(__clang__)
    int info[4];
    __cpuid(info, 0);
    if (info[0] < 7) return false;
    __cpuid(info, 1);
    const bool os_saves_state = (info[2] >> 27) & 1;
    const bool has_avx = (info[2] >> 28) & 1;
    // The operating system must save the YMM registers (XCR0 bits 1, 2).
    if (!os_saves_state || !has_avx || (_xgetbv(0) & 6) != 6) return false;
    __cpuidex(info, 7, 0);
    return (info[1] >> 5) & 1;
#else
    // Also checks that the operating system saves the YMM registers.
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
#endif
}

std::atomic<bool> portable_forced{false};

}  // namespace

KernelPath detected_kernel_path() {
    static const KernelPath detected =
        processor_runs_avx2() ? KernelPath::avx2 : KernelPath::portable;
    return detected;
}

KernelPath active_kernel_path() {
    return portable_forced.load(std::memory_order_relaxed) ? KernelPath::portable
                                                           : detected_kernel_path();
}

void force_portable_kernels(bool force) {
    portable_forced.store(force, std::memory_order_relaxed);
}

std::string_view kernel_path_name(KernelPath path) {
    switch (path) {
        case KernelPath::avx2:
            return "avx2";
        case KernelPath::portable:
            break;
    }
    return "portable";
}

MergedPass simd_merged_pass(KernelPath path, std::size_t n) {
#if QUARN_HAVE_AVX2_KERNELS
    if (path == KernelPath::avx2 && n >= 1 && n <= simd_pass_limit &&
        detected_kernel_path() == KernelPath::avx2) {
        return &merged_pass_avx2;
    }
#else
    (void)path;
    (void)n;
#endif
    return nullptr;
}

bool replicate_groups_for(KernelPath path, std::size_t n) {
    return path == KernelPath::avx2 && n >= 2 && n <= group_limit &&
           detected_kernel_path() == KernelPath::avx2;
}

}  // namespace quarn
