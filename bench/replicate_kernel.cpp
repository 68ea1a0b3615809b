// One bootstrap replicate's irreducible work, timed on its own, next to
// quarn's own time per replicate.
//
// The standalone kernel gathers 2w tapered values from block starts drawn
// beforehand (no generator, no seeding, no parallel loop, no quantile),
// sorts the two halves of w and runs one merged pass, with the fastest
// pieces quarn has: sorting networks and the merged pass of the active
// path, or, where the path has them, groups of four replicates sorted as
// the columns of rows and summed in the lanes of a vector.
// quarn's time per replicate is block_bootstrap_threshold with many
// replicates on one thread, divided by their number. The ratio of the two
// is what quarn spends around the kernel.
//
//   quarn_replicate_bench [--repeats N] [--replicates N] [--portable] [--windows W,W,...]
//
// Prints, for w = 10, 15 and 20, the median ns per replicate of both and
// their ratio, and the parts of the kernel (gather, sorts, pass) on both
// kernel paths. With --windows, it prints instead quarn's time per
// replicate at each given window size (thresholds of 300 replicates, the
// candidate detector's count) and per value of the resample (2w), which
// shows how the cost of a threshold grows with the window.
// Times are CPU time of the measuring thread.
#include <oneapi/tbb/task_arena.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "quarn/bootstrap.hpp"
#include "quarn/kernels.hpp"
#include "quarn/merged_pass.hpp"
#include "quarn/stats.hpp"
#include "quarn/total_order.hpp"

#include "kernel_timing.hpp"

namespace {

using bench::median;
using bench::thread_seconds;

using quarn::OrderKey;
using quarn::pass_padding;

volatile double sink;

template <class F>
double seconds(F&& f) {
    const double start = thread_seconds();
    f();
    return thread_seconds() - start;
}

// Everything the standalone kernel reads: a standardized reference pair,
// the taper window of block length 8 and taper ratio 0.5, and the block
// starts of `count` replicates.
struct KernelInput {
    std::size_t w;
    std::vector<double> reference;
    std::vector<double> weights;
    double scale;
    std::size_t block_length;
    std::size_t blocks;
    std::vector<std::uint32_t> starts;
    std::vector<double> steps;

    KernelInput(std::size_t window, std::size_t count, std::mt19937_64& rng) : w(window) {
        std::normal_distribution<double> normal;
        reference.resize(2 * w);
        for (double& value : reference) value = normal(rng);
        const auto taper = *quarn::make_taper_window(8, 0.5);
        weights = taper.weights;
        scale = taper.scale;
        block_length = 8;
        blocks = (2 * w + block_length - 1) / block_length;
        std::uniform_int_distribution<std::uint32_t> start(
            0, static_cast<std::uint32_t>(2 * w - block_length));
        starts.resize(count * blocks);
        for (auto& s : starts) s = start(rng);
        steps.resize(quarn::step_table_size(w));
        quarn::fill_step_table(steps, w);
    }
};

// The two halves of one resample as order keys, each followed by its
// padding: the layout the merged pass reads.
struct Halves {
    std::vector<OrderKey> keys;
    OrderKey* first;
    OrderKey* second;

    explicit Halves(std::size_t w) : keys(2 * (w + pass_padding)) {
        first = keys.data();
        second = keys.data() + w + pass_padding;
        quarn::pad_sample(first, w);
        quarn::pad_sample(second, w);
    }
};

void gather(const KernelInput& in, std::size_t replicate, Halves& halves) {
    const std::size_t length = 2 * in.w;
    const std::uint32_t* starts = in.starts.data() + replicate * in.blocks;
    std::size_t filled = 0;
    for (std::size_t b = 0; b < in.blocks; ++b) {
        const std::size_t len = std::min(in.block_length, length - filled);
        const double* source = in.reference.data() + starts[b];
        for (std::size_t i = 0; i < len; ++i) {
            const std::size_t p = filled + i;
            const double value = (source[i] * in.weights[i]) * in.scale;
            halves.keys[p + (p >= in.w ? pass_padding : 0)] = quarn::total_order_key(value);
        }
        filled += len;
    }
}

// Median seconds per replicate of `part` over `count` replicates.
template <class Part>
double per_replicate(std::size_t count, int repeats, Part&& part) {
    std::vector<double> times;
    for (int r = 0; r < repeats; ++r) {
        times.push_back(seconds([&] {
                            for (std::size_t k = 0; k < count; ++k) part(k);
                        }) /
                        static_cast<double>(count));
    }
    return median(times);
}

struct KernelTimes {
    double whole;
    double gather;
    double sorts;
    double pass;
};

// Four replicates at a time through the group kernel, where the path has
// one for this window size: the halves gathered as columns of rows.
double time_group_kernel(const KernelInput& in, std::size_t count, int repeats) {
#if QUARN_HAVE_AVX2_KERNELS
    if (!quarn::replicate_groups_for(quarn::active_kernel_path(), in.w)) return 0.0;
    std::vector<OrderKey> rows[2] = {
        std::vector<OrderKey>(quarn::group_rows_size(in.w), quarn::largest_key),
        std::vector<OrderKey>(quarn::group_rows_size(in.w), quarn::largest_key)};
    double total = 0.0;
    const double seconds_per_group = per_replicate(count / 4, repeats, [&](std::size_t g) {
        for (std::size_t r = 0; r < 4; ++r) {
            const std::uint32_t* starts = in.starts.data() + (4 * g + r) * in.blocks;
            std::size_t filled = 0;
            for (std::size_t b = 0; b < in.blocks; ++b) {
                const std::size_t len = std::min(in.block_length, 2 * in.w - filled);
                const double* source = in.reference.data() + starts[b];
                for (std::size_t i = 0; i < len; ++i) {
                    const std::size_t p = filled + i;
                    const OrderKey key =
                        quarn::total_order_key((source[i] * in.weights[i]) * in.scale);
                    if (p < in.w) {
                        rows[0][p * 4 + r] = key;
                    } else {
                        rows[1][(p - in.w) * 4 + r] = key;
                    }
                }
                filled += len;
            }
        }
        double distances[4];
        quarn::replicate_group_avx2(rows[0].data(), rows[1].data(), in.w, in.steps.data(),
                                    distances);
        total += distances[0] + distances[1] + distances[2] + distances[3];
    });
    sink = total;
    return seconds_per_group / 4.0;
#else
    (void)in;
    (void)count;
    (void)repeats;
    return 0.0;
#endif
}

KernelTimes time_kernel(const KernelInput& in, std::size_t count, int repeats,
                        quarn::KernelPath path) {
    const quarn::MergedPass simd = quarn::simd_merged_pass(path, in.w);
    const auto sorter = quarn::key_sorter(in.w);
    Halves halves(in.w);
    const auto pass = [&](const Halves& h) {
        return simd != nullptr
                   ? simd(h.first, h.second, in.w, in.steps.data())
                   : quarn::merged_pass_portable(h.first, h.second, in.w, in.steps.data());
    };
    KernelTimes times{};
    double total = 0.0;
    times.whole = per_replicate(count, repeats, [&](std::size_t k) {
        gather(in, k, halves);
        sorter(halves.first);
        sorter(halves.second);
        total += pass(halves);
    });
    times.gather = per_replicate(count, repeats, [&](std::size_t k) {
        gather(in, k, halves);
        total += static_cast<double>(halves.keys[k % in.w]);
    });
    // Sorts and pass on copies of prepared resamples.
    std::vector<Halves> prepared(256, Halves(in.w));
    for (std::size_t k = 0; k < prepared.size(); ++k) gather(in, k, prepared[k]);
    Halves work(in.w);
    times.sorts = per_replicate(count, repeats, [&](std::size_t k) {
        std::memcpy(work.keys.data(), prepared[k % 256].keys.data(),
                    work.keys.size() * sizeof(OrderKey));
        sorter(work.first);
        sorter(work.second);
        total += static_cast<double>(work.first[0]);
    });
    for (auto& h : prepared) {
        sorter(h.first);
        sorter(h.second);
    }
    times.pass =
        per_replicate(count, repeats, [&](std::size_t k) { total += pass(prepared[k % 256]); });
    sink = total;
    return times;
}

// quarn's own time per replicate: one threshold with `count` replicates on
// a single thread.
double quarn_per_replicate(std::size_t w, std::size_t count, int repeats, std::mt19937_64& rng) {
    std::normal_distribution<double> normal;
    std::vector<double> series(2 * w);
    for (double& value : series) value = normal(rng);
    const auto prefix = quarn::PrefixSums::build(series);
    quarn::BootstrapSettings settings;
    settings.n_perm = count;
    settings.level = 0.99;
    quarn::BootstrapScratch scratch;
    tbb::task_arena one_thread(1);
    std::vector<double> times;
    double total = 0.0;
    for (int r = 0; r < repeats; ++r) {
        one_thread.execute([&] {
            times.push_back(seconds([&] {
                                total += *quarn::block_bootstrap_threshold(
                                    series, prefix, w, 0, 12345 + r, settings, scratch);
                            }) /
                            static_cast<double>(count));
        });
    }
    sink = total;
    return median(times);
}

}  // namespace

int main(int argc, char** argv) {
    int repeats = 11;
    std::size_t count = 20000;
    std::vector<std::size_t> windows;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--repeats" && i + 1 < argc) {
            repeats = std::atoi(argv[++i]);
        } else if (arg == "--replicates" && i + 1 < argc) {
            count = static_cast<std::size_t>(std::atoll(argv[++i]));
        } else if (arg == "--portable") {
            quarn::force_portable_kernels(true);
        } else if (arg == "--windows" && i + 1 < argc) {
            for (const char* p = argv[++i]; *p != '\0';) {
                char* end = nullptr;
                const unsigned long long w = std::strtoull(p, &end, 10);
                if (end == p || w == 0) break;
                windows.push_back(static_cast<std::size_t>(w));
                p = *end == ',' ? end + 1 : end;
            }
        } else {
            std::fprintf(stderr,
                         "usage: %s [--repeats N] [--replicates N] [--portable] "
                         "[--windows W,W,...]\n",
                         argv[0]);
            return 2;
        }
    }
    if (!windows.empty()) {
        constexpr std::size_t replicates = 300;
        std::printf("quarn per replicate, thresholds of %zu replicates, median of %d runs\n",
                    replicates, repeats);
        std::printf("%6s %14s %16s\n", "w", "ns/replicate", "ns/value (2w)");
        std::mt19937_64 rng(2024);
        for (const std::size_t w : windows) {
            const double ns = quarn_per_replicate(w, replicates, repeats, rng) * 1e9;
            std::printf("%6zu %14.1f %16.2f\n", w, ns, ns / static_cast<double>(2 * w));
        }
        return 0;
    }
    const quarn::KernelPath active = quarn::active_kernel_path();
    std::printf("kernel path: %s (detected %s); %zu replicates, median of %d runs\n",
                std::string(quarn::kernel_path_name(active)).c_str(),
                std::string(quarn::kernel_path_name(quarn::detected_kernel_path())).c_str(), count,
                repeats);
    std::printf(
        "kernel: the fastest form of the standalone kernel on the active path (four\n"
        "replicates at a time where the path has groups); single: one replicate at a\n"
        "time, whole and in parts\n");
    std::printf("%4s %10s %10s %6s | %15s %15s | %26s\n", "w", "kernel ns", "quarn ns", "ratio",
                "single portable", "single active", "active gather/sorts/pass");
    std::mt19937_64 rng(2024);
    for (const std::size_t w : {10, 15, 20}) {
        const KernelInput input(w, count, rng);
        // Alternate the measurements so that load on the machine hits both.
        const KernelTimes single = time_kernel(input, count, repeats, active);
        const double group = time_group_kernel(input, count, repeats);
        const double quarn_ns = quarn_per_replicate(w, count, repeats, rng) * 1e9;
        const KernelTimes portable =
            time_kernel(input, count, repeats, quarn::KernelPath::portable);
        const double kernel_ns = (group > 0.0 ? std::min(group, single.whole) : single.whole) * 1e9;
        std::printf("%4zu %10.1f %10.1f %6.2f | %15.1f %15.1f | %8.1f %8.1f %8.1f\n", w, kernel_ns,
                    quarn_ns, quarn_ns / kernel_ns, portable.whole * 1e9, single.whole * 1e9,
                    single.gather * 1e9, single.sorts * 1e9, single.pass * 1e9);
    }
    return 0;
}
