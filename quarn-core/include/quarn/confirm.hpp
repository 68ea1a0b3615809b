// The package's detection method: the multi-window detector proposes
// candidate change points with window sizes scaled to the series, and a
// selection keeps those that tests on the full stretches between their
// neighbours confirm at an overall false-alarm level.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "quarn/control.hpp"
#include "quarn/multi_window.hpp"
#include "quarn/report.hpp"
#include "quarn/scores.hpp"
#include "quarn/select.hpp"
#include "quarn/split_evidence.hpp"

namespace quarn {

struct MethodArguments {
    std::span<const double> series;
    // Overall false-alarm level: on a series without changes, the chance of
    // reporting any change point at all. In (0, 1].
    double alpha = 0.05;
    std::uint64_t seed = 123;
    std::optional<std::uint64_t> workers;
    RunControl* control = nullptr;
    // True keeps the candidate detector's output in MethodOutput's
    // `detector` (without starts, which the window size implies, and without
    // the consensus of its windows), with its thresholds by runs when
    // `threshold_runs` is also true.
    bool keep_detector = false;
    bool threshold_runs = false;
    // True removes the seasonal cycle the series shows (see find_cycle)
    // before the candidates are sought and tested, and allows for what it
    // leaves in the dependence of the tests (a seasonal lag).
    bool remove_seasonal_cycle = true;
    // Share of location intervals that hold the true position, in (0, 1).
    double confidence = 0.9;
};

struct Change {
    std::uint64_t position;  // index of the first value after the change
    ChangeKind kind;
    double p_value;  // of the test that kept it, adjusted for the search
    // Window sizes of the candidate detector that reported a change point
    // within their own window size of `position`.
    std::uint64_t votes = 0;
    // Its location interval, direction and effect (see report.hpp).
    ChangeReport report;
};

struct MethodOutput {
    std::vector<Change> changes;
    // What the run used: the detector's window sizes, its number of
    // distinct candidates, and the dependence factors of the final tests.
    std::vector<std::uint64_t> window_sizes;
    std::uint64_t candidates = 0;
    DependenceFactors factors;
    // The candidate detector's output when the arguments asked for it. It
    // ran on the standardised series (x - centre) / unit: its statistics
    // and thresholds times `unit` are in the series' own units.
    std::optional<DetectorOutput> detector;
    double unit = 1.0;
    // The seasonal period the series shows, in values (see
    // seasonal_period); nullopt when it shows none. Its cycle was removed
    // before the tests when the arguments asked for it (the default).
    std::optional<double> seasonal_period;
    // The stretches between the changes, in the series' own units (less the
    // seasonal cycle when it was removed).
    std::vector<SegmentReport> segments;
};

// Whether the method on n values runs its whole-stretch and pattern searches
// beside its other stages (on a pool of more than one thread); the results
// are the same either way.
bool searches_run_beside(std::size_t n);

// Replicates per bootstrap threshold of the candidate detector on n values:
// 300, falling to 100 on long series to bound the cost (the selection, not
// the detector's threshold, decides).
std::uint64_t candidate_replicates(std::size_t n);

// Six window sizes, geometrically spaced from clamp(round(n / 100), 5, 10)
// to min(n / 8, clamp(5,000,000 / n, 100, 1000)) and rounded; a single size
// when that range is empty; none when n is below twice the smallest size.
std::vector<std::uint64_t> method_window_sizes(std::size_t n);

// The split index that best separates a region into two spreads around the
// region's mean (Gaussian likelihood), with at least 2 values per side.
std::size_t spread_split(std::span<const double> region);

// Candidates from the multi-window detector on the standardised values
// (read as it goes, without a copy): every change point of every window
// size, and the spread split of every localized region, distinct and
// ascending. The detector's output, less its consensus, is moved to `kept`
// when that is not null (and left empty when there are no sizes); its
// windows' statistics only when `with_statistics` is true (otherwise each
// is freed as its sweep ends, for window_statistics to compute again).
DetectorResult<std::vector<std::uint64_t>> candidate_points(
    const StandardValues& values, const MethodArguments& arguments,
    std::span<const std::uint64_t> sizes, std::optional<DetectorOutput>* kept = nullptr,
    bool with_statistics = true);

// Window sizes among `change_points` (size -> its change points, ascending)
// that reported a change point within their own window size of `position`.
std::uint64_t support_votes(const WindowChangePoints& change_points, std::uint64_t position);

// Fills in the reports of `output.changes` (placed by the tests of
// `placed_by`, one per change, on `series`) and the segments between them:
// effects and segments from `values`, the series the tests saw in its own
// units. The changes run in parallel on the pool of the calling thread
// where their segments are short (at most 65,536 values around each
// change); the reports are the same on any pool.
void report_changes(MethodOutput& output, std::span<const double> values,
                    const ScoredSeries& series, std::span<const TestKind> placed_by,
                    double confidence, std::uint64_t seed);

// The whole method. Fails on a series of fewer than 3 values or of more
// than 2^31, a non-finite value, an alpha outside (0, 1], a confidence
// outside (0, 1), or a failure of
// the detector. Besides the series it holds at its peak about 5 bytes per
// value (ranks 3.1 up to 2^24 values, 1.6 beyond, the tests' running sums 1.4, at most some 6 MB
// above 2^22 values), 2 more for the detector's statistics when kept, and 8
// more while the location interval of a change between two long stretches
// is drawn (their residuals). Above 2^20 values the kept statistics are not
// among them: freed as each window's sweep ends, they are computed again
// once the ranks are gone, at the end.
DetectorResult<MethodOutput> detect_changes(const MethodArguments& arguments);

// Runs detect_changes on every series with the options of `options` (whose
// own `series` is not used), one task per series on the default pool or on
// one pool of `options.workers` threads. The outputs come in input order and
// equal one call per series; a failure is the first failing series' in
// input order, with its `series_index`.
DetectorResult<std::vector<MethodOutput>> detect_changes_many(
    std::span<const std::span<const double>> series, const MethodArguments& options);

}  // namespace quarn
