// Runs the detection method on series stored as raw little-endian float64
// files and prints one line per change point: position, kind, p-value. The
// benchmarks use it to time the method and to compare it with reference
// results.
//
//   quarn_method_tool [--alpha A] [--seed S] [--workers W] [--native] [--peak-memory] FILE...
//
// With --native it runs the multi-window detector with its defaults instead
// and prints its consensus leaders, so that both can be timed side by side.
// With --peak-memory it ends with a line "# peak_rss_bytes N": the largest
// resident memory of this process (Linux only; -1 elsewhere).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "quarn/method.hpp"

namespace {

const char* kind_name(quarn::ChangeKind kind) {
    switch (kind) {
        case quarn::ChangeKind::level:
            return "level";
        case quarn::ChangeKind::slope:
            return "slope";
        case quarn::ChangeKind::spread:
            return "spread";
        case quarn::ChangeKind::shape:
            return "shape";
    }
    return "?";
}

// VmHWM of /proc/self/status: unlike the resource usage a parent reads, it
// does not count the memory the process had before it started this program.
long long peak_resident_bytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::atoll(line.c_str() + 6) * 1024;
    }
    return -1;
}

bool read_series(const char* path, std::vector<double>& values) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return false;
    const auto bytes = static_cast<std::size_t>(in.tellg());
    values.resize(bytes / sizeof(double));
    in.seekg(0);
    return static_cast<bool>(in.read(reinterpret_cast<char*>(values.data()),
                                     static_cast<std::streamsize>(values.size() * sizeof(double))));
}

}  // namespace

int main(int argc, char** argv) {
    quarn::MethodArguments arguments;
    std::vector<const char*> files;
    bool native = false;
    bool peak_memory = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--alpha") == 0 && i + 1 < argc) {
            arguments.alpha = std::strtod(argv[++i], nullptr);
        } else if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) {
            arguments.seed = std::strtoull(argv[++i], nullptr, 10);
        } else if (std::strcmp(argv[i], "--workers") == 0 && i + 1 < argc) {
            arguments.workers = std::strtoull(argv[++i], nullptr, 10);
        } else if (std::strcmp(argv[i], "--native") == 0) {
            native = true;
        } else if (std::strcmp(argv[i], "--peak-memory") == 0) {
            peak_memory = true;
        } else {
            files.push_back(argv[i]);
        }
    }
    int status = 0;
    for (const char* path : files) {
        std::vector<double> series;
        if (!read_series(path, series)) {
            std::fprintf(stderr, "%s: cannot read\n", path);
            status = 1;
            continue;
        }
        arguments.series = series;
        if (native) {
            quarn::MultiWindowArguments detector;
            detector.series = series;
            detector.seed = arguments.seed;
            detector.workers = arguments.workers;
            const auto start = std::chrono::steady_clock::now();
            const auto output = quarn::detect_multi_window(detector);
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (!output) {
                std::printf("# %s error %s\n", path, output.error().message.c_str());
                status = 1;
                continue;
            }
            std::printf("# %s n %zu seconds %.6f native\n", path, series.size(), seconds);
            for (const auto& [leader, score] : output->consensus.leaders_scores) {
                std::printf("%llu leader %.17g\n", static_cast<unsigned long long>(leader), score);
            }
            continue;
        }
        const auto start = std::chrono::steady_clock::now();
        const auto output = quarn::detect_changes(arguments);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!output) {
            std::printf("# %s error %s\n", path, output.error().message.c_str());
            status = 1;
            continue;
        }
        std::printf("# %s n %zu seconds %.6f candidates %llu factors %.17g %.17g %.17g %.17g\n",
                    path, series.size(), seconds,
                    static_cast<unsigned long long>(output->candidates), output->factors.level,
                    output->factors.spread, output->factors.shape, output->factors.trend);
        for (const auto& change : output->changes) {
            std::printf("%llu %s %.17g\n", static_cast<unsigned long long>(change.position),
                        kind_name(change.kind), change.p_value);
        }
    }
    if (peak_memory) std::printf("# peak_rss_bytes %lld\n", peak_resident_bytes());
    return status;
}
