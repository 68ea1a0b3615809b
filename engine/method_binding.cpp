#include "method_binding.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "compact_result.hpp"
#include "quarn/method.hpp"
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
    ResultLayout layout;

    MethodArguments arguments(RunControl& control) const {
        MethodArguments arguments;
        arguments.alpha = alpha;
        arguments.seed = seed;
        arguments.workers = workers;
        arguments.control = &control;
        arguments.keep_detector = keep_detector;
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
//   detector      the detector's compact result (as detect returns it, on
//                 the standardised series), or None when not kept
nb::dict method_dict(MethodOutput&& output, std::size_t n, const ResultLayout& layout) {
    std::vector<std::uint64_t> positions, votes;
    std::vector<double> p_values;
    nb::list kinds;
    for (const Change& change : output.changes) {
        positions.push_back(change.position);
        votes.push_back(change.votes);
        p_values.push_back(change.p_value);
        kinds.append(nb::str(kind_name(change.kind)));
    }
    nb::dict result;
    result["n"] = nb::int_(n);
    result["positions"] = index_array(std::move(positions));
    result["kinds"] = nb::tuple(kinds);
    result["p_values"] = figure_array(std::move(p_values));
    result["votes"] = index_array(std::move(votes));
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
        series, progress, method_positions(values_of(series).size()),
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
        series, progress, method_positions,
        [&](std::span<const std::span<const double>> values, RunControl& control) {
            return detect_changes_many(values, options.arguments(control));
        },
        [&](MethodOutput&& output, std::size_t n) {
            return method_dict(std::move(output), n, options.layout);
        });
}

MethodOptions options_of(double alpha, std::uint64_t seed, std::optional<std::uint64_t> workers,
                         bool keep_detector, bool threshold_runs, bool writeable) {
    return MethodOptions{alpha, seed, workers, keep_detector,
                         ResultLayout{threshold_runs, writeable}};
}

// The keyword options of detect_changes and detect_changes_many, in this
// order.
#define QUARN_METHOD_OPTIONS                                                                    \
    nb::kw_only(), "alpha"_a = 0.05, "seed"_a = 123, "workers"_a = nb::none(),                  \
                   "keep_detector"_a = true, "threshold_runs"_a = false, "writeable"_a = false, \
                   "progress"_a = nb::none()

}  // namespace

void add_method_functions(nb::module_& module) {
    module.def(
        "detect_changes",
        [](const SeriesArray& series, double alpha, std::uint64_t seed,
           std::optional<std::uint64_t> workers, bool keep_detector, bool threshold_runs,
           bool writeable, nb::object progress) {
            return detect_one(
                series, options_of(alpha, seed, workers, keep_detector, threshold_runs, writeable),
                progress);
        },
        "series"_a, QUARN_METHOD_OPTIONS,
        "Runs the package's detection method on one series (a 1-D float64 array, read in "
        "place): candidates from the multi-window detector, kept when tests on the stretches "
        "between their neighbours confirm them at the overall false-alarm level alpha.\n\n"
        "Returns a dict with 'n', 'positions', 'kinds', 'p_values', 'votes', 'window_sizes', "
        "'candidates', 'unit' and 'detector' (the candidate detector's compact result on the "
        "standardised series, its figures times 'unit' in the series' units; None unless "
        "keep_detector). Raises DetectorError (a ValueError) with the core's message.");

    module.def(
        "detect_changes_many",
        [](const std::vector<SeriesArray>& series, double alpha, std::uint64_t seed,
           std::optional<std::uint64_t> workers, bool keep_detector, bool threshold_runs,
           bool writeable, nb::object progress) {
            return detect_many(
                series, options_of(alpha, seed, workers, keep_detector, threshold_runs, writeable),
                progress);
        },
        "series"_a, QUARN_METHOD_OPTIONS,
        "Runs detect_changes on every series of a sequence, the series in parallel.\n\n"
        "Returns a list of results in input order, each equal to detect_changes'. The first "
        "failing series in input order raises DetectorError with its series_index.");

    module.def(
        "method_window_sizes",
        [](std::uint64_t n) { return method_window_sizes(static_cast<std::size_t>(n)); }, "n"_a,
        "The candidate detector's window sizes for a series of n values.");
}

}  // namespace quarn::engine
