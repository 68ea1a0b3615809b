// What the engine's entry points share: series read in place from numpy
// arrays, the check of the progress callback, and the series as the core
// reads them (missing values left out where asked).
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

}  // namespace quarn::engine
