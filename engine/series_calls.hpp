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
#include "quarn/multi_window.hpp"
#include "quarn/missing.hpp"

namespace quarn::engine {

namespace nb = nanobind;

// A one-dimensional float64 array in memory: read in place, never copied.
// Other dtypes and non-contiguous arrays are converted by numpy first.
using SeriesArray = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

inline std::span<const double> values_of(const SeriesArray& array) {
    return {array.data(), array.shape(0)};
}

// The series of a batch, read in place.
inline std::vector<std::span<const double>> spans_of(const std::vector<SeriesArray>& series) {
    std::vector<std::span<const double>> spans;
    spans.reserve(series.size());
    for (const SeriesArray& one : series) spans.push_back(values_of(one));
    return spans;
}

inline std::size_t total_size(std::span<const std::span<const double>> series) {
    std::size_t total = 0;
    for (const std::span<const double> one : series) total += one.size();
    return total;
}

inline void check_progress(const nb::object& progress) {
    if (!progress.is_none() && !PyCallable_Check(progress.ptr())) {
        throw nb::type_error("progress must be a callable taking (done, total), or None");
    }
}

// A series as the core reads it: all of its values, or, where missing
// values (NaN) are skipped, a copy of the present ones together with the way
// back from their positions to the original ones.
struct CoreSeries {
    PresentPositions present;
    std::vector<double> compact;     // the present values, when some are missing
    std::span<const double> values;  // what the core reads

    CoreSeries(std::span<const double> original, bool skip_missing)
        : present(original.size()), values(original) {
        if (!skip_missing) return;
        present = PresentPositions::of(original);
        if (present.any_missing()) {
            compact = present.present_values(original);
            values = compact;
        }
    }
};

// The core series of `originals`, found with the interpreter lock released
// (the arrays are the caller's private copies, which nothing else changes).
inline std::vector<CoreSeries> core_series(std::span<const std::span<const double>> originals,
                                           bool skip_missing) {
    std::vector<CoreSeries> series;
    series.reserve(originals.size());
    nb::gil_scoped_release unlocked;
    for (const std::span<const double> original : originals) {
        series.emplace_back(original, skip_missing);
    }
    return series;
}

// Runs compute(values, control) -> DetectorResult<Output> on one series in
// the background, where positions_of(n) is the total its progress reaches
// on n values, and returns build(output, n) for the series' own length n.
// With `skip_missing`, the core reads the present values alone, every
// position of the output (or of a failure) is restored to the original
// series, and the result gets "n_missing". A failure raises DetectorError.
template <class Positions, class Compute, class Build>
nb::dict run_on_series(const SeriesArray& series, const nb::object& progress, bool skip_missing,
                       Positions positions_of, Compute compute, Build build) {
    check_progress(progress);
    const std::span<const double> original = values_of(series);
    return translate_failures(original.size(), 1, [&] {
        std::vector<CoreSeries> core = core_series(std::span(&original, 1), skip_missing);
        const std::span<const double> values = core.front().values;
        const PresentPositions& present = core.front().present;
        RunControl control;
        std::optional<decltype(compute(values, control))> output;
        run_in_background(
            control,
            [&] {
                output.emplace(compute(values, control));
                if (*output) restore_positions(**output, present);
                return output->has_value();
            },
            progress, positions_of(values.size()));
        if (!*output) {
            DetectorError error = std::move(output->error());
            restore_positions(error, present);
            raise_detector_error(error);
        }
        const std::uint64_t missing = present.missing_count();
        core.clear();  // the present values are no longer needed
        nb::dict result = build(std::move(**output), original.size());
        if (skip_missing) result["n_missing"] = nb::int_(missing);
        return result;
    });
}

// Runs compute(spans, control) -> DetectorResult<std::vector<Output>> on a
// batch in the background, where positions_of(n) is the progress total of
// a series of n values, and returns the list of build(output, n) in input
// order; with `skip_missing` as run_on_series. A failure raises
// DetectorError naming its series.
template <class Positions, class Compute, class Build>
nb::list run_on_batch(const std::vector<SeriesArray>& series, const nb::object& progress,
                      bool skip_missing, Positions positions_of, Compute compute, Build build) {
    check_progress(progress);
    const std::vector<std::span<const double>> originals = spans_of(series);
    return translate_failures(total_size(originals), originals.size(), [&] {
        std::vector<CoreSeries> core = core_series(originals, skip_missing);
        std::vector<std::span<const double>> values;
        values.reserve(core.size());
        std::uint64_t total_positions = 0;
        for (const CoreSeries& one : core) {
            values.push_back(one.values);
            total_positions += positions_of(one.values.size());
        }
        RunControl control;
        std::optional<decltype(compute(values, control))> outputs;
        run_in_background(
            control,
            [&] {
                outputs.emplace(compute(values, control));
                if (*outputs) {
                    for (std::size_t i = 0; i < core.size(); ++i) {
                        restore_positions((**outputs)[i], core[i].present);
                    }
                }
                return outputs->has_value();
            },
            progress, total_positions);
        if (!*outputs) {
            DetectorError error = std::move(outputs->error());
            if (error.series_index && *error.series_index < core.size()) {
                restore_positions(error, core[*error.series_index].present);
            }
            raise_detector_error(error);
        }
        std::vector<std::uint64_t> missing;
        for (const CoreSeries& one : core) missing.push_back(one.present.missing_count());
        core.clear();
        values.clear();
        nb::list results;
        for (std::size_t i = 0; i < originals.size(); ++i) {
            nb::dict result = build(std::move((**outputs)[i]), originals[i].size());
            if (skip_missing) result["n_missing"] = nb::int_(missing[i]);
            results.append(result);
        }
        return results;
    });
}

}  // namespace quarn::engine
