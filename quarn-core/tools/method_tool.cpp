// Runs the detection method on series stored as raw little-endian float64
// files and prints one line per change point: position, kind, p-value. The
// benchmarks use it to time the method and to compare it with reference
// results.
//
//   quarn_method_tool [--alpha A] [--seed S] [--workers W] [--native] [--profile]
//                     [--peak-memory] FILE...
//
// With --native it runs the multi-window detector with its defaults instead
// and prints its consensus leaders, so that both can be timed side by side.
// With --profile it runs the method's stages one after the other as the
// method does, and prints a line "# stage NAME SECONDS" per stage (the
// candidate detector also once per window size on its own) before the
// change points, so that the benchmarks can show where the time goes; a
// search that runs beside the other stages, as in the method, is timed in
// its stage by the wait for it, and its own time is printed on a line
// "# side NAME SECONDS beside|in_place". The
// pool's threads are started and the method is run once, untimed, before
// the first stage, so that the stages show what a call costs in a running
// program rather than what a fresh process pays once.
// With --peak-memory it ends with a line "# peak_rss_bytes N": the largest
// resident memory of this process (Linux only; -1 elsewhere); with --profile
// also a line "# stage_peak NAME BYTES" per stage, the largest resident
// memory while that stage ran.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/partitioner.h>
#include <oneapi/tbb/task_arena.h>

#include "quarn/dependence.hpp"
#include "quarn/pattern.hpp"
#include "quarn/confirm.hpp"
#include "quarn/pool.hpp"
#include "quarn/scores.hpp"
#include "quarn/select.hpp"
#include "quarn/stretch_search.hpp"
#include "quarn/structure.hpp"

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
        case quarn::ChangeKind::pattern:
            return "pattern";
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

// Stage by stage, the steps of quarn::detect_changes with its defaults, each
// timed on its own. The change points are those of detect_changes.
class StageClock {
  public:
    void lap(const char* name) {
        const auto now = std::chrono::steady_clock::now();
        std::printf("# stage %s %.9f\n", name, std::chrono::duration<double>(now - last_).count());
        peak(name);
        last_ = std::chrono::steady_clock::now();
    }
    // The high-water mark since the last stage, which is then reset to the
    // memory resident now (Linux).
    void peak(const char* name) const {
        if (!peak_memory_) return;
        std::printf("# stage_peak %s %lld\n", name, peak_resident_bytes());
        std::ofstream("/proc/self/clear_refs") << "5";
    }
    void restart() { last_ = std::chrono::steady_clock::now(); }
    bool peak_memory_ = false;

  private:
    std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

// Starts every thread of the default pool and lets each take a piece of
// work, so that no timed stage pays for it: the first parallel loop of a
// process starts the pool's threads, which a call in a running program
// finds started. Waits at most a second for the threads to arrive.
void start_pool_threads() {
    const int threads = std::max(1, tbb::this_task_arena::max_concurrency());
    std::atomic<int> arrived{0};
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    tbb::parallel_for(
        tbb::blocked_range<int>(0, threads, 1),
        [&](const tbb::blocked_range<int>&) {
            arrived.fetch_add(1);
            while (arrived.load() < threads && std::chrono::steady_clock::now() < until) {
                std::this_thread::yield();
            }
        },
        tbb::simple_partitioner());
}

int profile_stages(const quarn::MethodArguments& arguments, bool peak_memory) {
    const std::span<const double> x = arguments.series;
    const std::size_t n = x.size();
    StageClock clock;
    clock.peak_memory_ = peak_memory;
    if (peak_memory) std::ofstream("/proc/self/clear_refs") << "5";
    const auto timed = [](double& seconds, const auto& work) {
        const auto start = std::chrono::steady_clock::now();
        work();
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    quarn::StandardValues values(x);
    clock.lap("standardise");
    // As the method does: on series short enough, the ranks are sorted
    // beside the seasonal search from a copy of the values, and dropped
    // when a cycle is removed; their stage times the wait for them.
    std::optional<quarn::ScoredSeries> early;
    double ranks_seconds = 0.0;
    quarn::SideTask early_ranks;
    if (quarn::searches_run_beside(n) && quarn::side_tasks_run_beside()) {
        early_ranks.start(
            [&, copy = values]() mutable {
                timed(ranks_seconds, [&] { early.emplace(std::move(copy)); });
            },
            true);
    }
    std::optional<double> period = quarn::seasonal_period(
        n, [&values](std::size_t t) { return values.value(t); }, nullptr);
    clock.lap("seasonal");
    std::vector<double> deseasonalised;
    if (period) {
        std::vector<double> z(n);
        for (std::size_t t = 0; t < n; ++t) z[t] = values.value(t);
        const quarn::SeasonalCycle cycle = quarn::fit_cycle(z, *period);
        deseasonalised.resize(n);
        bool finite = true;
        for (std::size_t t = 0; t < n && finite; ++t) {
            deseasonalised[t] = x[t] - values.unit() * cycle.values[t];
            finite = std::isfinite(deseasonalised[t]);
        }
        if (!finite) deseasonalised.clear();
        if (!deseasonalised.empty()) {
            early_ranks.cancel();
            early.reset();
            values = quarn::StandardValues(std::span<const double>(deseasonalised));
        }
        clock.lap("seasonal_removal");
    }
    // As the method does: the ranks are sorted before the candidates are sought.
    early_ranks.join();
    const bool ranks_beside = early.has_value();
    if (!early) timed(ranks_seconds, [&] { early.emplace(std::move(values)); });
    const quarn::ScoredSeries series(std::move(*early));
    early.reset();
    clock.lap("ranks");
    const std::vector<std::uint64_t> sizes = quarn::method_window_sizes(n);
    std::optional<quarn::DetectorOutput> detector;
    // Each window size alone, then all of them as the method runs them; a
    // first run starts the thread pool, which is not counted.
    if (!sizes.empty()) {
        const std::uint64_t first[] = {sizes.front()};
        if (!quarn::candidate_points(series.values(), arguments, first)) return 1;
    }
    for (const std::uint64_t size : sizes) {
        const std::uint64_t one[] = {size};
        clock.restart();
        const auto alone = quarn::candidate_points(series.values(), arguments, one);
        const std::string name = "window_" + std::to_string(size);
        clock.lap(name.c_str());
        if (!alone) return 1;
    }
    // As the method does: on series short enough, the whole-stretch search
    // runs beside the candidate detector and the pattern search beside the
    // stages after it, and their stages time only the wait for them (each one's own
    // time is printed as "# side NAME SECONDS"); otherwise each runs at its
    // place.
    const bool beside = quarn::searches_run_beside(n);
    std::vector<std::uint64_t> whole;
    quarn::PatternSearch search;
    double whole_seconds = 0.0, pattern_seconds = 0.0;
    // The search for changes of a repeated pattern, at half the level, as
    // the method runs it on a series whose cycle was not removed.
    quarn::PatternArguments pattern;
    pattern.alpha = arguments.alpha / 2.0;
    pattern.seed = arguments.seed;
    pattern.with_level = deseasonalised.empty();
    pattern.period = period;
    quarn::SideTask whole_search, pattern_search;
    clock.restart();
    whole_search.start(
        [&] { timed(whole_seconds, [&] { whole = quarn::stretch_candidates(series, nullptr); }); },
        beside);
    auto candidates = quarn::candidate_points(series.values(), arguments, sizes, &detector);
    pattern_search.start(
        [&] {
            timed(pattern_seconds, [&] {
                search = quarn::pattern_changes(
                    n, [&series](std::size_t t) { return series.raw(t); }, pattern);
            });
        },
        beside);
    clock.lap("candidates");
    if (!candidates) return 1;
    const std::size_t lag = period && !deseasonalised.empty()
                                ? static_cast<std::size_t>(std::llround(*period))
                                : 0;
    const bool whole_search_beside = whole_search.beside();
    whole_search.join();
    std::vector<std::uint64_t> joined;
    std::set_union(candidates->begin(), candidates->end(), whole.begin(), whole.end(),
                   std::back_inserter(joined));
    clock.lap("whole_stretch");
    quarn::SplitTester pilot_tester(series, quarn::estimate_dependence(series, joined, lag));
    clock.lap("pilot_dependence");
    const std::vector<std::uint64_t> merged =
        quarn::merge_close_candidates(pilot_tester, joined, quarn::candidate_merge_gap);
    // As the method does: the selections split at the merged candidates.
    pilot_tester.remember_splits(merged);
    quarn::Selection selection = quarn::eliminate(pilot_tester, merged, arguments.alpha);
    clock.lap("pilot_confirmation");
    std::optional<quarn::SplitTester> tester;
    double dependence = 0.0, confirmation = 0.0;
    for (int round = 0; round < 4; ++round) {
        auto start = std::chrono::steady_clock::now();
        tester.emplace(series, quarn::estimate_dependence(series, selection.points, lag));
        tester->remember_splits(merged);
        auto mid = std::chrono::steady_clock::now();
        quarn::Selection next = quarn::eliminate(*tester, merged, arguments.alpha);
        auto end = std::chrono::steady_clock::now();
        dependence += std::chrono::duration<double>(mid - start).count();
        confirmation += std::chrono::duration<double>(end - mid).count();
        const bool same = next.points == selection.points;
        selection = std::move(next);
        if (same) break;
    }
    std::printf("# stage dependence_rounds %.9f\n# stage confirmation_rounds %.9f\n", dependence,
                confirmation);
    clock.peak("dependence_and_confirmation_rounds");
    clock.restart();
    const std::vector<std::uint64_t> moved = quarn::relocate(series, selection);
    clock.lap("relocation");
    std::vector<quarn::ChangeKind> kinds;
    for (std::size_t i = 0; i < moved.size(); ++i) {
        const std::size_t a = i == 0 ? 0 : static_cast<std::size_t>(moved[i - 1]);
        const std::size_t b = i + 1 < moved.size() ? static_cast<std::size_t>(moved[i + 1]) : n;
        kinds.push_back(quarn::name_change(*tester, series, a, static_cast<std::size_t>(moved[i]),
                                           b, selection.evidence[i].kind, arguments.alpha));
    }
    clock.lap("naming");
    const bool pattern_search_beside = pattern_search.beside();
    pattern_search.join();
    static_cast<void>(search);
    clock.lap("pattern_search");
    const auto side = [](const char* name, double seconds, bool beside) {
        std::printf("# side %s %.9f %s\n", name, seconds, beside ? "beside" : "in_place");
    };
    side("ranks", ranks_seconds, ranks_beside);
    side("whole_stretch", whole_seconds, whole_search_beside);
    side("pattern_search", pattern_seconds, pattern_search_beside);
    // The reports of the changes: location intervals, effects, segments.
    quarn::MethodOutput output;
    std::vector<quarn::TestKind> placed_by;
    for (std::size_t i = 0; i < moved.size(); ++i) {
        output.changes.push_back({moved[i], kinds[i], selection.evidence[i].p_value, 0, {}});
        placed_by.push_back(selection.evidence[i].kind);
    }
    quarn::report_changes(output, deseasonalised.empty() ? x : std::span<const double>(deseasonalised),
                          series, placed_by, arguments.confidence, arguments.seed);
    clock.lap("report");
    for (std::size_t i = 0; i < moved.size(); ++i) {
        std::printf("%llu %s %.17g\n", static_cast<unsigned long long>(moved[i]),
                    kind_name(kinds[i]), selection.evidence[i].p_value);
    }
    return 0;
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
    bool profile = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--alpha") == 0 && i + 1 < argc) {
            arguments.alpha = std::strtod(argv[++i], nullptr);
        } else if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) {
            arguments.seed = std::strtoull(argv[++i], nullptr, 10);
        } else if (std::strcmp(argv[i], "--workers") == 0 && i + 1 < argc) {
            arguments.workers = std::strtoull(argv[++i], nullptr, 10);
        } else if (std::strcmp(argv[i], "--native") == 0) {
            native = true;
        } else if (std::strcmp(argv[i], "--profile") == 0) {
            profile = true;
        } else if (std::strcmp(argv[i], "--peak-memory") == 0) {
            peak_memory = true;
        } else {
            files.push_back(argv[i]);
        }
    }
    // The profile shows what a call costs in a running program.
    if (profile) start_pool_threads();
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
        if (profile) {
            // One untimed run first: a call in a running program finds the
            // allocator's free memory and the code and tables it reads in
            // place from the calls before it, which a fresh process has not
            // yet (the first stages paid for them). Not when the stages'
            // peak memory is asked for: what that run leaves resident would
            // count in every stage's peak.
            if (!peak_memory && !quarn::detect_changes(arguments)) status = 1;
            std::printf("# %s n %zu profile\n", path, series.size());
            if (profile_stages(arguments, peak_memory) != 0) status = 1;
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
