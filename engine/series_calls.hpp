// What the engine's entry points share: series read in place from numpy
// arrays, the check of the progress callback, and the run of a core call on
// one series or on a batch on a background thread (the interpreter lock
// released, Ctrl-C and progress answered meanwhile).
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "background_run.hpp"
#include "errors.hpp"
#include "quarn/control.hpp"
#include "quarn/detector.hpp"

namespace quarn::engine {

namespace nb = nanobind;

// A one-dimensional float64 array in memory: read in place, never copied.
// Other dtypes and non-contiguous arrays are converted by numpy first.
using SeriesArray = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

inline std::span<const double> values_of(const SeriesArray& array) {
    return {array.data(), array.shape(0)};
}

inline void check_progress(const nb::object& progress) {
    if (!progress.is_none() && !PyCallable_Check(progress.ptr())) {
        throw nb::type_error("progress must be a callable taking (done, total), or None");
    }
}

// Runs compute(values, control) -> DetectorResult<Output> on one series in
// the background, where `positions` is the total its progress reaches, and
// returns build(output); a failure raises DetectorError.
template <class Compute, class Build>
auto run_on_series(const SeriesArray& series, const nb::object& progress, std::uint64_t positions,
                   Compute compute, Build build) {
    check_progress(progress);
    const std::span<const double> values = values_of(series);
    return translate_failures(values.size(), 1, [&] {
        RunControl control;
        std::optional<decltype(compute(values, control))> output;
        run_in_background(
            control,
            [&] {
                output.emplace(compute(values, control));
                return output->has_value();
            },
            progress, positions);
        if (!*output) raise_detector_error(output->error());
        return build(std::move(**output), values.size());
    });
}

// Runs compute(spans, control) -> DetectorResult<std::vector<Output>> on a
// batch in the background, where positions_of(n) is the progress total of
// a series of n values, and returns the list of build(output, n) in input
// order; a failure raises DetectorError naming its series.
template <class Positions, class Compute, class Build>
nb::list run_on_batch(const std::vector<SeriesArray>& series, const nb::object& progress,
                      Positions positions_of, Compute compute, Build build) {
    check_progress(progress);
    std::vector<std::span<const double>> values;
    values.reserve(series.size());
    std::size_t total_values = 0;
    std::uint64_t total_positions = 0;
    for (const SeriesArray& one : series) {
        values.push_back(values_of(one));
        total_values += values.back().size();
        total_positions += positions_of(values.back().size());
    }
    return translate_failures(total_values, values.size(), [&] {
        RunControl control;
        std::optional<decltype(compute(values, control))> outputs;
        run_in_background(
            control,
            [&] {
                outputs.emplace(compute(values, control));
                return outputs->has_value();
            },
            progress, total_positions);
        if (!*outputs) raise_detector_error(outputs->error());
        nb::list results;
        for (std::size_t i = 0; i < values.size(); ++i) {
            results.append(build(std::move((**outputs)[i]), values[i].size()));
        }
        return results;
    });
}

}  // namespace quarn::engine
