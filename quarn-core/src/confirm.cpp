#include "quarn/confirm.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <exception>
#include <iterator>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "quarn/batch.hpp"
#include "quarn/dependence.hpp"
#include "quarn/local_level.hpp"
#include "quarn/pattern.hpp"
#include "quarn/pool.hpp"
#include "quarn/scores.hpp"
#include "quarn/stats.hpp"
#include "quarn/stretch_search.hpp"
#include "quarn/structure.hpp"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace quarn {

namespace {

// No split leaves fewer values on a side.
constexpr std::size_t min_side = 3;
// Most selections whose residuals measure the dependence for the next one.
constexpr int dependence_rounds = 4;
// Up to this many values the whole-stretch and pattern searches run beside
// the other stages; above, their buffers (the whole-stretch scores take 16
// bytes a value) would sit beside the candidate detector's at its peak.
constexpr std::size_t side_search_length = std::size_t{1} << 20;
// Share of alpha at which a selection that fell to nothing is looked at
// once more.
constexpr double second_look_alpha_share = 1.0 / 200.0;
// Once the tester remembers its sums at the merged candidates, where the
// selections split, it keeps at most this many checkpoints of each kind
// (some 0.9 MB at 1e7 values where 3.4 MB were) for the few tests at other
// points (the kept changes' names after relocation).
constexpr std::size_t remembered_checkpoints = std::size_t{1} << 14;
// A series less its cycle whose increments vary by less than 2^-residue_bits
// of the series' scale, and by less than 2^residue_margin_bits units in the
// last place of its largest value, holds only rounding residue.
constexpr int residue_bits = 30;
constexpr int residue_margin_bits = 12;

// As printf's "%.17g" in the "C" locale, whatever locale the process has set
// (printf itself would write "1,5" under a German one).
std::string format_number(double value) {
    char buffer[32];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, value,
                                       std::chars_format::general, 17);
    return std::string(buffer, written.ptr);
}

// A cycle that explains a series all but exactly (a noise-free cycle, with
// or without level shifts) leaves rounding residue once removed, and the
// robust scale of that residue, some 1e-16 of the values, would blow the
// residue's patterns up into changes. When the removed series varies by no
// more than a grid far below the series' own scale, its values are rounded to
// that grid (a power of two, so the rounding is exact and scales with the
// series).
void snap_rounding_residue(std::vector<double>& removed, std::span<const double> x, double unit,
                           const RunControl* control) {
    if (removed.empty()) return;
    double largest = 0.0;
    for (std::size_t t = 0; t < x.size(); ++t) {
        largest = std::max({largest, std::abs(x[t]), std::abs(removed[t])});
    }
    if (!(largest > 0.0) || !std::isfinite(largest)) return;
    int exponent = 0;
    std::frexp(largest, &exponent);
    const double grid = std::max(std::ldexp(unit, -residue_bits),
                                 std::ldexp(1.0, exponent - std::numeric_limits<double>::digits +
                                                     residue_margin_bits));
    if (!(grid > 0.0) || !std::isfinite(grid)) return;
    if (robust_scale(removed, control) > grid) return;
    for (double& v : removed) v = std::round(v / grid) * grid;
}

std::uint64_t distance(std::uint64_t p, std::uint64_t q) { return p > q ? p - q : q - p; }

// The change of `changes` nearest to `position`; nullptr when there is none.
Change* nearest_change(std::vector<Change>& changes, std::uint64_t position) {
    Change* nearest = nullptr;
    for (Change& change : changes) {
        if (nearest == nullptr || distance(change.position, position) < distance(nearest->position, position)) {
            nearest = &change;
        }
    }
    return nearest;
}

// Changes of a repeated pattern are sought apart from the other tests, at
// half the false-alarm level, on the series' values as the tests read them.
// The search reads nothing the tests find, so it may run beside them.
PatternSearch search_patterns(const ScoredSeries& series, const MethodArguments& arguments,
                              bool cycle_in_place, std::optional<double> period) {
    PatternArguments pattern;
    pattern.alpha = arguments.alpha / 2.0;
    pattern.seed = arguments.seed;
    pattern.control = arguments.control;
    pattern.with_level = cycle_in_place;
    pattern.period = period;
    return pattern_changes(
        series.size(), [&series](std::size_t t) { return series.raw(t); }, pattern);
}

// One change of the pattern search within a row of the search from a
// change already kept is that change: of kind pattern when the tests called
// it a change of shape, as it was otherwise. The others join the kept
// changes.
//
// A series that repeats a cycle the method left in place (one that changes)
// swings from half cycle to half cycle, and the tests of single values take
// those swings for changes of level. There the search also compares the
// blocks' means, and only its changes are kept, with the kind its features
// give: at the position of a kept change within a row, when there is one.
void add_pattern_changes(std::vector<Change>& changes, const PatternSearch& search,
                         const WindowChangePoints& support) {
    std::vector<Change> kept;
    for (const PatternChange& found : search.changes) {
        Change* nearest = nearest_change(changes, found.position);
        const bool same = nearest != nullptr && distance(nearest->position, found.position) <= search.block;
        if (same) {
            if (search.with_level) {
                kept.push_back(*nearest);
                kept.back().kind = found.kind;
            } else if (nearest->kind == ChangeKind::shape) {
                nearest->kind = ChangeKind::pattern;
            }
            continue;
        }
        kept.push_back({found.position, found.kind, found.p_value,
                        support_votes(support, found.position), ChangeReport{}});
    }
    if (search.with_level) {
        changes.clear();
    } else if (kept.empty()) {
        return;
    }
    changes.insert(changes.end(), kept.begin(), kept.end());
    std::sort(changes.begin(), changes.end(),
              [](const Change& p, const Change& q) { return p.position < q.position; });
    changes.erase(std::unique(changes.begin(), changes.end(),
                              [](const Change& p, const Change& q) { return p.position == q.position; }),
                  changes.end());
}

// What make() returns, made on the pool the calling thread is in, as the
// candidate detector runs.
template <class Make>
DetectorResult<std::invoke_result_t<Make&>> made_on_pool(const MethodArguments& arguments,
                                                         Make make) {
    std::optional<std::invoke_result_t<Make&>> made;
    const Status ran = run_on_pool(arguments.workers.value_or(0), [&] { made.emplace(make()); });
    if (!ran) return detector_failure(ran.error());
    return std::move(*made);
}

// Hands the memory that freed buffers leave in the allocator's pools back
// to the system, where the C library can be asked to (glibc keeps up to
// twice the largest block it has unmapped in each thread's pool, which the
// next stage, in another thread's pool, cannot use).
void return_freed_memory() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

// Computes again the statistics of the detector's windows, which its sweeps
// over `view` freed, side by side on the pool. False when `control` asked to
// stop.
bool restore_statistics(DetectorOutput& detector, SeriesView view, const RunControl* control) {
    std::vector<WindowResult*> windows;
    for (auto& [size, result] : detector.window_results) windows.push_back(&result);
    std::atomic<bool> complete{true};
    parallel_pieces(std::size_t{0}, windows.size(), std::size_t{1},
                    [&](std::size_t begin, std::size_t end) {
                        for (std::size_t i = begin; i != end; ++i) {
                            WindowResult& window = *windows[i];
                            window.statistics =
                                window_statistics(view, window.window_size, control);
                            if (window.statistics.size() !=
                                position_count(view.size(), window.window_size)) {
                                complete.store(false);
                            }
                        }
                    });
    return complete.load();
}

}  // namespace

bool searches_run_beside(std::size_t n) { return n <= side_search_length; }

namespace {

// The method's stages on a series that passed the checks, on the pool the
// calling thread is in (arguments.workers is not read).
DetectorResult<MethodOutput> detect_stages(const MethodArguments& arguments) {
    const std::span<const double> x = arguments.series;
    const std::size_t n = x.size();
    MethodOutput output;
    // The tests are free of the series' scale and offset: ranks, and values
    // centred on their median and divided by a power-of-two robust scale.
    // The work is ordered so that the largest buffers never coexist: the
    // detector reads the series standardised as it goes (no copy); on
    // series up to side_search_length the ranks are sorted before it runs,
    // while the windows' statistics it leaves (8 bytes per value of the
    // smallest window's, and more) do not yet sit beside the sort's
    // buffers, and on longer ones after it, its statistics set aside (see
    // below).
    const auto stopped = [&] {
        return arguments.control != nullptr && arguments.control->stop_requested();
    };
    // A seasonal cycle would be taken for changes of level, over and over:
    // the period the series shows is found on its standardised, winsorized
    // values, and unless the arguments say otherwise its cycle is removed
    // before everything else (otherwise the period is only looked for once
    // the changes are known).
    std::vector<double> deseasonalised;
    // Whether the cycle the series shows is alternating regimes (below).
    bool regimes = false;
    auto standardised =
        made_on_pool(arguments, [&] { return StandardValues(x, arguments.control); });
    if (!standardised) return std::unexpected(std::move(standardised.error()));
    StandardValues values = std::move(*standardised);
    if (stopped()) return detector_failure(std::string(stopped_message));
    const bool remove_cycle = arguments.remove_seasonal_cycle;
    // The rank scores are those of these values unless a cycle is removed:
    // on series short enough, and where another thread can take them, they
    // are sorted beside the seasonal search from a copy of the values (the
    // bits that mark the winsorized ones), and dropped when a cycle is
    // removed after all. Otherwise they are sorted once the values are
    // final, as always.
    std::optional<ScoredSeries> early_series;
    SideTask early_ranks;
    if (remove_cycle && searches_run_beside(n) && side_tasks_run_beside()) {
        early_ranks.start(
            [&, copy = values]() mutable {
                early_series.emplace(std::move(copy), arguments.control);
            },
            true);
    }
    if (remove_cycle) {
        output.seasonal_period = seasonal_period(
            n, [&values](std::size_t t) { return values.value(t); }, arguments.control);
    }
    if (output.seasonal_period) {
        std::vector<double> z(n);
        for (std::size_t t = 0; t < n; ++t) z[t] = values.value(t);
        output.seasonal_period = fundamental_period(z, *output.seasonal_period);
        // A cycle that is not the same throughout is left in place: one
        // cycle fitted to the whole would blur a change of its period,
        // waveform or amplitude, which the tests are to see.
        const SeasonalCycle cycle = fit_cycle_between_shifts(z, *output.seasonal_period);
        output.seasonal_period = cycle.period;
        // Alternating plateaus longer than the largest window are regimes,
        // whose level shifts are to be found, not a cycle to remove.
        const std::vector<std::uint64_t> sizes = method_window_sizes(n);
        const double longest = sizes.empty() ? 0.0 : static_cast<double>(sizes.back());
        regimes = longest > 0.0 && cycle_is_regimes(z, *output.seasonal_period, longest);
        if (!regimes && cycle_holds(z, cycle)) {
            const double unit = values.unit();
            deseasonalised.resize(n);
            bool finite = true;
            for (std::size_t t = 0; t < n && finite; ++t) {
                deseasonalised[t] = x[t] - unit * cycle.values[t];
                finite = std::isfinite(deseasonalised[t]);
            }
            if (!finite) deseasonalised = std::vector<double>();
            snap_rounding_residue(deseasonalised, x, unit, arguments.control);
        }
    }
    if (stopped()) return detector_failure(std::string(stopped_message));
    if (!deseasonalised.empty()) {
        early_ranks.cancel();
        early_series.reset();
        auto again = made_on_pool(arguments, [&] {
            return StandardValues(std::span<const double>(deseasonalised), arguments.control);
        });
        if (!again) return std::unexpected(std::move(again.error()));
        values = std::move(*again);
        if (stopped()) return detector_failure(std::string(stopped_message));
    }
    output.unit = values.unit();
    output.window_sizes = method_window_sizes(n);
    const bool beside = searches_run_beside(n);
    // On a long series the candidate detector runs before the ranks are
    // sorted, so that neither the sort's buffers nor the ranks (1.6 to 3.1
    // bytes a value) sit beside its sweeps; and the windows' statistics it
    // leaves (2 bytes a value at the method's sizes) are freed as each sweep
    // ends and computed again once the ranks are gone, at the end (the
    // sweeps' cheapest part: one sort of each window).
    const bool detector_first = !beside;
    const bool statistics_later = detector_first && arguments.keep_detector;
    const SeriesView detector_view = values.view();
    std::optional<DetectorOutput> detector;
    std::optional<DetectorResult<std::vector<std::uint64_t>>> found;
    if (detector_first) {
        found.emplace(candidate_points(values, arguments, output.window_sizes, &detector,
                                       !statistics_later));
        if (!*found) return std::unexpected(std::move(found->error()));
        if (stopped()) return detector_failure(std::string(stopped_message));
        return_freed_memory();
    }
    early_ranks.join();
    auto scored = early_series ? DetectorResult<ScoredSeries>(std::move(*early_series))
                               : made_on_pool(arguments, [&] {
                                     return ScoredSeries(std::move(values), arguments.control);
                                 });
    early_series.reset();
    if (!scored) return std::unexpected(std::move(scored.error()));
    // Held so that the ranks can go before the statistics come back.
    std::optional<ScoredSeries> held(std::move(*scored));
    const ScoredSeries& series = *held;
    if (stopped()) return detector_failure(std::string(stopped_message));
    // The whole-stretch search and the pattern search read only the series
    // and what is known of its cycle by now: on series short enough that
    // their buffers do not add to the peak, they run beside the other
    // stages, and are waited for where their results are read. The first
    // beside the candidate detector; the second from the detector's end, so
    // that it fills the thread that the sequential parts of the selections
    // leave idle (started before, it would be taken first by a thread
    // waiting for the detector's pieces). Otherwise, or on one thread, each
    // runs where it is waited for, in this order.
    std::vector<std::uint64_t> whole;
    PatternSearch patterns;
    // Regimes are level shifts, which the tests placed: the pattern search
    // does not stand in for them.
    const bool pattern_level = deseasonalised.empty() && !regimes;
    const std::optional<double> pattern_period = output.seasonal_period;
    // Declared after what they write and read: an early return waits for
    // them before any of it goes.
    SideTask whole_search, pattern_search;
    whole_search.start([&] { whole = stretch_candidates(series, arguments.control); }, beside);
    if (!detector_first) {
        found.emplace(candidate_points(series.values(), arguments, output.window_sizes, &detector));
    }
    DetectorResult<std::vector<std::uint64_t>>& candidates = *found;
    if (!candidates) return std::unexpected(std::move(candidates.error()));
    pattern_search.start(
        [&] { patterns = search_patterns(series, arguments, pattern_level, pattern_period); },
        beside);
    output.candidates = candidates->size();
    WindowChangePoints support;
    if (detector) {
        support = detector->window_change_points;
        if (arguments.keep_detector) {
            output.detector = std::move(detector);
        }
        detector.reset();
    }
    // What the removed cycle leaves (an amplitude that changes) is allowed
    // for in the dependence of the tests.
    const std::size_t seasonal_lag =
        output.seasonal_period && !deseasonalised.empty()
            ? static_cast<std::size_t>(std::llround(*output.seasonal_period))
            : 0;
    // A cycle left in place varies within a stretch as no persistent noise
    // does: the spread test's allowance for persistence (which assumes
    // AR(1) noise) is left out there.
    const bool cycle_in_place = output.seasonal_period && deseasonalised.empty();
    const auto dependence = [&](std::span<const std::uint64_t> cuts) {
        DependenceFactors factors = estimate_dependence(series, cuts, seasonal_lag);
        if (cycle_in_place) factors.persistence = 0.0;
        return factors;
    };
    if (stopped()) return detector_failure(std::string(stopped_message));
    // Changes too small for the largest window show on whole stretches.
    {
        whole_search.join();
        if (stopped()) return detector_failure(std::string(stopped_message));
        std::vector<std::uint64_t> joined;
        joined.reserve(candidates->size() + whole.size());
        std::set_union(candidates->begin(), candidates->end(), whole.begin(), whole.end(),
                       std::back_inserter(joined));
        *candidates = std::move(joined);
        whole = std::vector<std::uint64_t>();
        output.candidates = candidates->size();
    }

    // A pilot selection, with dependence measured around the candidates'
    // many short segments, gives a segmentation whose residuals measure the
    // dependence of the noise; the final selection uses that.
    Selection pilot;
    std::vector<std::uint64_t> merged;
    // One tester serves the pilot and every round: its running sums are the
    // series', and only the factors change.
    std::optional<SplitTester> final_tester;
    {
        SplitTester& tester = final_tester.emplace(series, dependence(*candidates));
        merged = merge_close_candidates(tester, *candidates, candidate_merge_gap);
        // The merged candidates stand for them from here on (8 bytes each,
        // some 200,000 at 5e7 values).
        *candidates = std::vector<std::uint64_t>();
        // Every selection splits at the merged candidates and the series' ends.
        tester.remember_splits(merged);
        tester.coarsen_checkpoints((n + remembered_checkpoints - 1) / remembered_checkpoints);
        if (stopped()) return detector_failure(std::string(stopped_message));
        pilot = eliminate(tester, merged, arguments.alpha);
    }
    if (stopped()) return detector_failure(std::string(stopped_message));
    // Spurious cuts in strongly persistent noise take its slow swings out of
    // the residuals and so hide the persistence that made them: the
    // dependence is measured again on each selection's own residuals until
    // the selection holds still.
    //
    // The other way round, the factors measured around too few cuts take the
    // level shifts that were left out for persistence, and the many p-values
    // of 1 among the dense candidates are then dropped from the start of the
    // series on, each tested against a short stretch after it: a selection
    // may fall to nothing while its shifts stand out plainly once tested
    // between the previous selection's cuts. When the factors rose and left
    // nothing, the previous selection is tested once more with them, at a
    // far stricter level and with the shape test held to as many effectively
    // independent values per side as on independent noise (the ranks of a
    // short stretch of persistent noise bunch together); what survives is
    // kept, and so is that shape rule.
    Selection selection = std::move(pilot);
    DependenceFactors previous_factors;
    bool persistent = false;
    for (int round = 0; round < dependence_rounds; ++round) {
        output.factors = dependence(selection.points);
        final_tester->set_factors(output.factors);
        final_tester->require_effective_shape_sides(persistent);
        if (stopped()) return detector_failure(std::string(stopped_message));
        Selection next = eliminate(*final_tester, merged, arguments.alpha);
        if (stopped()) return detector_failure(std::string(stopped_message));
        const DependenceFactors& now = output.factors;
        const bool stricter = round > 0 && now.level >= previous_factors.level &&
                              now.spread >= previous_factors.spread &&
                              now.shape >= previous_factors.shape &&
                              now.trend >= previous_factors.trend;
        previous_factors = output.factors;
        if (stricter && next.points.empty() && !selection.points.empty()) {
            // The tester already holds these factors and its sums at every
            // point of the selection (merged candidates all): a second
            // tester would only repeat them.
            final_tester->require_effective_shape_sides(true);
            Selection kept = eliminate(*final_tester, selection.points,
                                       arguments.alpha * second_look_alpha_share);
            final_tester->require_effective_shape_sides(persistent);
            if (stopped()) return detector_failure(std::string(stopped_message));
            if (!kept.points.empty()) {
                next = std::move(kept);
                persistent = true;
            }
        }
        // The same points give the same factors, and so the same selection.
        const bool same = next.points == selection.points;
        selection = std::move(next);
        if (same) break;
    }
    merged = std::vector<std::uint64_t>();  // every round is done
    const SplitTester& tester = *final_tester;
    std::vector<std::uint64_t> moved = relocate(series, selection);
    // A random walk beneath the noise passes its wandering for changes of
    // level at any allowance for AR(1) noise: where the series is such a
    // walk, a level change stands only where the level jumps far more than
    // the walk steps. Judged where the points were moved to (the ranks of
    // persistent noise may place a jump far off). A cycle left in place is
    // no walk.
    if (!cycle_in_place) {
        Selection placed{std::move(moved), std::move(selection.evidence)};
        keep_level_jumps(series, placed, arguments.alpha);
        moved = std::move(placed.points);
        selection.evidence = std::move(placed.evidence);
    }
    for (std::size_t i = 0; i < moved.size(); ++i) {
        const std::size_t a = i == 0 ? 0 : static_cast<std::size_t>(moved[i - 1]);
        const std::size_t b = i + 1 < moved.size() ? static_cast<std::size_t>(moved[i + 1]) : n;
        const std::size_t c = static_cast<std::size_t>(moved[i]);
        output.changes.push_back(
            {moved[i],
             name_change(tester, series, a, c, b, selection.evidence[i].kind, arguments.alpha),
             selection.evidence[i].p_value, support_votes(support, moved[i]), ChangeReport{}});
    }
    // The tester's running sums (1.4 bytes per value, at most some 6 MB, and
    // 120 bytes per merged candidate) are done with: freed before the
    // reports, and the pattern search when it runs here, allocate theirs.
    final_tester.reset();
    pattern_search.join();
    add_pattern_changes(output.changes, patterns, support);
    patterns = PatternSearch();
    if (stopped()) return detector_failure(std::string(stopped_message));
    {
        // Each change is reported by the test that placed it; one the
        // pattern search added has none of them (see location_interval).
        std::vector<TestKind> placed_by;
        for (const Change& change : output.changes) {
            const auto at = std::find(moved.begin(), moved.end(), change.position);
            placed_by.push_back(at == moved.end()
                                    ? TestKind::none
                                    : selection.evidence[static_cast<std::size_t>(at - moved.begin())].kind);
        }
        if (!beside) return_freed_memory();
        // On the pool the call asked for, as the candidate detector.
        const Status reported = run_on_pool(arguments.workers.value_or(0), [&] {
            report_changes(output,
                           deseasonalised.empty() ? x : std::span<const double>(deseasonalised),
                           series, placed_by, arguments.confidence, arguments.seed);
        });
        if (!reported) return detector_failure(reported.error());
    }
    if (!remove_cycle) {
        output.seasonal_period = seasonal_period(
            n, [&series](std::size_t t) { return series.value(t); }, arguments.control);
        if (stopped()) return detector_failure(std::string(stopped_message));
    }
    if (statistics_later && output.detector) {
        held.reset();
        if (!restore_statistics(*output.detector, detector_view, arguments.control)) {
            return detector_failure(std::string(stopped_message));
        }
    }
    return output;
}

}  // namespace

DetectorResult<MethodOutput> detect_changes(const MethodArguments& arguments) {
    const std::span<const double> x = arguments.series;
    if (auto error = check_series(x)) return std::unexpected(std::move(*error));
    if (!(arguments.alpha > 0.0 && arguments.alpha <= 1.0)) {
        return detector_failure("alpha must be above 0 and at most 1, got " +
                                format_number(arguments.alpha));
    }
    if (!(arguments.confidence > 0.0 && arguments.confidence < 1.0)) {
        return detector_failure("confidence must be above 0 and below 1, got " +
                                format_number(arguments.confidence));
    }
    const std::size_t n = x.size();
    if (n < 2 * min_side) {
        MethodOutput output;
        output.segments = describe_segments(x, {});
        return output;
    }
    if (n > max_ranked_length) {
        return detector_failure("the method takes at most " + std::to_string(max_ranked_length) +
                                " values, got " + std::to_string(n));
    }

    // Every stage runs on the pool the call asked for, in one arena, where
    // the searches that read nothing the others find run beside them.
    MethodArguments inner = arguments;
    inner.workers.reset();
    std::optional<DetectorResult<MethodOutput>> result;
    std::exception_ptr thrown;
    const Status ran = run_on_pool(arguments.workers.value_or(0), [&] {
        try {
            result.emplace(detect_stages(inner));
        } catch (...) {
            // Out of memory: thrown again below, as from the stages.
            thrown = std::current_exception();
        }
    });
    if (thrown) std::rethrow_exception(thrown);
    if (!ran) return detector_failure(ran.error());
    return std::move(*result);
}

DetectorResult<std::vector<MethodOutput>> detect_changes_many(
    std::span<const std::span<const double>> series, const MethodArguments& options) {
    return detect_each_series(series, options, &detect_changes);
}

}  // namespace quarn
