#include "confirm_binding.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "compact_result.hpp"
#include "quarn/confirm.hpp"
#include "quarn/missing.hpp"
#include "series_calls.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace quarn::engine {

namespace {

struct MethodOptions {
    double alpha;
    std::uint64_t seed;
    std::optional<std::uint64_t> workers;
    bool keep_detector;
    double confidence;
    ResultLayout layout;
    bool skip_missing = false;  // NaN values left out, positions restored

    MethodArguments arguments(RunControl& control) const {
        MethodArguments arguments;
        arguments.alpha = alpha;
        arguments.seed = seed;
        arguments.workers = workers;
        arguments.control = &control;
        arguments.keep_detector = keep_detector;
        arguments.confidence = confidence;
        arguments.threshold_runs = layout.threshold_runs;
        return arguments;
    }
};

const char* kind_name(ChangeKind kind) {
    switch (kind) {
        case ChangeKind::level:
            return "level";
        case ChangeKind::slope:
            return "slope";
        case ChangeKind::spread:
            return "spread";
        case ChangeKind::shape:
            return "shape";
        case ChangeKind::pattern:
            return "pattern";
    }
    return "level";
}

nb::object direction_name(Direction direction) {
    switch (direction) {
        case Direction::up:
            return nb::str("up");
        case Direction::down:
            return nb::str("down");
        default:
            return nb::none();
    }
}

// The method's result as a dict:
//   n             int, the length of the series
//   positions     int64[k]   first index after each kept change, ascending
//   kinds         tuple of k str: "level", "slope", "spread", "shape" or
//                 "pattern"
//   p_values      float64[k]
//   votes         int64[k]   candidate window sizes near each change
//   window_sizes  int64[s]   the candidate detector's window sizes
//   candidates    int        distinct candidates the selection started from
//   unit          float      the detector's figures times unit are in the
//                            series' units
//   seasonal_period  float, the period of the seasonal cycle removed before
//                 the tests, or None when the series shows none
//   interval_lows, interval_highs  int64[k]  inclusive ends of each change's
//                 location interval
//   directions    tuple of k: "up", "down" or None
//   effects       float64[k] (NaN where a kind has no single size)
//   segments      the segments between the changes (see segments_dict)
//   detector      the detector's compact result (as detect returns it, on
//                 the standardised series), or None when not kept
nb::dict method_dict(MethodOutput&& output, std::size_t n, const ResultLayout& layout) {
    std::vector<std::uint64_t> positions, votes, lows, highs;
    std::vector<double> p_values, effects;
    nb::list kinds, directions;
    for (const Change& change : output.changes) {
        positions.push_back(change.position);
        votes.push_back(change.votes);
        p_values.push_back(change.p_value);
        kinds.append(nb::str(kind_name(change.kind)));
        lows.push_back(change.report.interval_low);
        highs.push_back(change.report.interval_high);
        effects.push_back(change.report.effect);
        directions.append(direction_name(change.report.direction));
    }
    nb::dict result;
    result["n"] = nb::int_(n);
    result["positions"] = index_array(std::move(positions));
    result["kinds"] = nb::tuple(kinds);
    result["p_values"] = figure_array(std::move(p_values));
    result["votes"] = index_array(std::move(votes));
    result["interval_lows"] = index_array(std::move(lows));
    result["interval_highs"] = index_array(std::move(highs));
    result["directions"] = nb::tuple(directions);
    result["effects"] = figure_array(std::move(effects));
    result["segments"] = segments_dict(output.segments);
    result["window_sizes"] = index_array(std::move(output.window_sizes));
    result["candidates"] = nb::int_(output.candidates);
    result["unit"] = nb::float_(output.unit);
    if (output.seasonal_period) {
        result["seasonal_period"] = nb::float_(*output.seasonal_period);
    } else {
        result["seasonal_period"] = nb::none();
    }
    if (output.detector) {
        result["detector"] = detection_dict(std::move(*output.detector), n, layout);
    } else {
        result["detector"] = nb::none();
    }
    return result;
}

std::uint64_t method_positions(std::size_t n) {
    const std::vector<std::uint64_t> sizes = method_window_sizes(n);
    return sweep_positions(n, sizes);
}

nb::dict detect_one(const SeriesArray& series, const MethodOptions& options,
                    const nb::object& progress) {
    return run_on_series(
        series, progress, options.skip_missing, method_positions,
        [&](std::span<const double> values, RunControl& control) {
            MethodArguments arguments = options.arguments(control);
            arguments.series = values;
            return detect_changes(arguments);
        },
        [&](MethodOutput&& output, std::size_t n) {
            return method_dict(std::move(output), n, options.layout);
        });
}

nb::list detect_many(const std::vector<SeriesArray>& series, const MethodOptions& options,
                     const nb::object& progress) {
    return run_on_batch(
        series, progress, options.skip_missing, method_positions,
        [&](std::span<const std::span<const double>> values, RunControl& control) {
            return detect_changes_many(values, options.arguments(control));
        },
        [&](MethodOutput&& output, std::size_t n) {
            return method_dict(std::move(output), n, options.layout);
        });
}

MethodOptions options_of(double alpha, std::uint64_t seed, std::optional<std::uint64_t> workers,
                         bool keep_detector, double confidence, bool threshold_runs,
                         bool writeable, bool skip_missing) {
    return MethodOptions{alpha, seed, workers, keep_detector, confidence,
                         ResultLayout{threshold_runs, writeable}, skip_missing};
}

// The keyword options of detect_changes and detect_changes_many, in this
// order.
#define QUARN_METHOD_OPTIONS                                                                    \
    nb::kw_only(), "alpha"_a = 0.05, "seed"_a = 123, "workers"_a = nb::none(),                  \
                   "keep_detector"_a = true, "confidence"_a = 0.9, "threshold_runs"_a = false,   \
                   "writeable"_a = false, "skip_missing"_a = false, "progress"_a = nb::none()

}  // namespace

void add_method_functions(nb::module_& module) {
    module.def(
        "detect_changes",
        [](const SeriesArray& series, double alpha, std::uint64_t seed,
           std::optional<std::uint64_t> workers, bool keep_detector, double confidence,
           bool threshold_runs, bool writeable, bool skip_missing, nb::object progress) {
            return detect_one(
                series, options_of(alpha, seed, workers, keep_detector, confidence, threshold_runs,
                           writeable, skip_missing),
                progress);
        },
        "series"_a, QUARN_METHOD_OPTIONS,
        "Runs the package's detection method on one series (a 1-D float64 array, read in "
        "place): candidates from the multi-window detector, kept when tests on the stretches "
        "between their neighbours confirm them at the overall false-alarm level alpha.\n\n"
        "Returns a dict with 'n', 'positions', 'kinds', 'p_values', 'votes', 'interval_lows', "
        "'interval_highs' (each change's location interval at the given confidence), "
        "'directions', 'effects', 'segments', 'window_sizes', "
        "'candidates', 'unit' and 'detector' (the candidate detector's compact result on the "
        "standardised series, its figures times 'unit' in the series' units; None unless "
        "keep_detector). skip_missing=True leaves out NaN values as detect does and adds "
        "'n_missing'. Raises DetectorError (a ValueError) with the core's message.");

    module.def(
        "detect_changes_many",
        [](const std::vector<SeriesArray>& series, double alpha, std::uint64_t seed,
           std::optional<std::uint64_t> workers, bool keep_detector, double confidence,
           bool threshold_runs, bool writeable, bool skip_missing, nb::object progress) {
            return detect_many(
                series, options_of(alpha, seed, workers, keep_detector, confidence, threshold_runs,
                           writeable, skip_missing),
                progress);
        },
        "series"_a, QUARN_METHOD_OPTIONS,
        "Runs detect_changes on every series of a sequence, the series in parallel.\n\n"
        "Returns a list of results in input order, each equal to detect_changes'. The first "
        "failing series in input order raises DetectorError with its series_index.");

    module.def(
        "describe_segments",
        [](const SeriesArray& series, const std::vector<std::uint64_t>& cuts) {
            const std::span<const double> values = values_of(series);
            for (std::size_t i = 0; i < cuts.size(); ++i) {
                if (cuts[i] == 0 || cuts[i] >= values.size() || (i > 0 && cuts[i] <= cuts[i - 1])) {
                    throw nb::value_error("cuts must be ascending and inside 1 .. len(series) - 1");
                }
            }
            std::vector<SegmentReport> segments;
            {
                nb::gil_scoped_release release;
                segments = describe_present_segments(values, cuts);
            }
            return segments_dict(segments);
        },
        "series"_a, "cuts"_a,
        "The segments that the ascending change points `cuts` make of a series: a dict of "
        "arrays 'starts', 'stops', 'counts', 'levels' (medians), 'spreads' (1.4826 times the "
        "median absolute deviation) and 'slopes' (NaN where a segment does not trend).");

    module.def(
        "method_window_sizes",
        [](std::uint64_t n) { return method_window_sizes(static_cast<std::size_t>(n)); }, "n"_a,
        "The candidate detector's window sizes for a series of n values.");
}

}  // namespace quarn::engine
