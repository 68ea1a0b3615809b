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

void add_method_functions(nb::module_& module) {
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
