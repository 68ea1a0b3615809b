// The online monitor's time per value in the core, without Python: batches
// of 1,000 values, and one value per push, on change-free Gaussian noise
// (the case that dominates a live stream: no alarm, nothing to relearn).
//
//   quarn_monitor_bench [--values N] [--repeats N] [--only batches|push]
//
// Prints the median ns per value of each over the repeats (processor time
// of the measuring thread), after a warm-up so that the regime is learnt.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <span>
#include <vector>

#include "quarn/monitor.hpp"

#include "kernel_timing.hpp"

namespace {

using bench::median;
using bench::thread_seconds;

}  // namespace

int main(int argc, char** argv) {
    std::size_t count = 2'000'000;
    int repeats = 5;
    const char* only = "";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--values") == 0) count = std::strtoull(argv[i + 1], nullptr, 10);
        if (std::strcmp(argv[i], "--repeats") == 0) repeats = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--only") == 0) only = argv[i + 1];
    }
    std::mt19937_64 engine(42);
    std::normal_distribution<double> normal;
    std::vector<double> values(count);
    for (double& value : values) value = normal(engine);

    std::vector<double> batched, single;
    std::size_t alarms = 0;
    for (int r = 0; r < repeats; ++r) {
        const bool batches = std::strcmp(only, "push") != 0;
        const bool push = std::strcmp(only, "batches") != 0;
        quarn::Monitor monitor = *quarn::Monitor::create({});
        alarms += monitor.update(std::span(values).first(1000))->size();  // learn the regime
        double start = thread_seconds();
        for (std::size_t at = 1000; batches && at + 1000 <= count; at += 1000) {
            alarms += monitor.update(std::span(values).subspan(at, 1000))->size();
        }
        batched.push_back((thread_seconds() - start) * 1e9 / static_cast<double>(count - 1000));

        quarn::Monitor one = *quarn::Monitor::create({});
        alarms += one.update(std::span(values).first(1000))->size();
        quarn::MonitorAlarm alarm;
        start = thread_seconds();
        for (std::size_t at = 1000; push && at < count; ++at) alarms += one.push(values[at], alarm);
        single.push_back((thread_seconds() - start) * 1e9 / static_cast<double>(count - 1000));
    }
    std::printf("monitor core, %zu values, median of %d (alarms %zu)\n", count, repeats, alarms);
    std::printf("  batches of 1,000: %6.2f ns per value\n", median(batched));
    std::printf("  push one by one:  %6.2f ns per value\n", median(single));
    return 0;
}
