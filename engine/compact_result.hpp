// The engine's results: numpy arrays instead of lists of Python numbers.
//
// A window size's result is a dict
//   window_size        int
//   statistics         float64[P]  statistic of every position
//   thresholds         float64[P]  bootstrap threshold in force there
//   change_points      int64[k]
//   localized_regions  int64[k, 2] half-open [start, end) of each region
// where position v starts at v * window_size (the starts are not stored).
// Asked for thresholds by runs, a window dict also has
//   threshold_runs     None, or a tuple (starts int64[R], values float64[R]):
//                      positions starts[i] up to starts[i + 1] (the last up
//                      to P) have the threshold values[i]
// and its thresholds are None when the runs hold them. Where missing values
// were left out of the series, a window dict also has
//   starts             int64[P]    the first value of every position
// (then no longer v * window_size).
// A detection is a dict
//   n           int, the length of the series
//   windows     tuple of window dicts, ascending window size, each size once
//   consensus   dict of leaders (int64), segment_votes (int64), scores,
//               probabilities and cdf (float64), one entry per leader in
//               ascending order
// The per-position arrays take over the core's buffers (no copy); every
// array is read-only, but for the statistics and thresholds of a caller
// that asked for them writeable (to bring them to other units in place).
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "quarn/multi_window.hpp"
#include "quarn/report.hpp"

namespace quarn::engine {

namespace nb = nanobind;

// What a caller asked of the layout of its results.
struct ResultLayout {
    bool threshold_runs = false;  // window dicts have the threshold_runs entry
    bool writeable = false;       // statistics and thresholds are writeable
};

// Read-only numpy arrays that take over a vector's buffer (no copy):
// indices as int64, figures as float64.
nb::object index_array(std::vector<std::uint64_t>&& values);
nb::object figure_array(std::vector<double>&& values);

nb::dict window_dict(WindowResult&& result, const ResultLayout& layout = {});

nb::dict detection_dict(DetectorOutput&& output, std::size_t n, const ResultLayout& layout = {});

// The segments between change points as a dict of arrays, one entry per
// segment: starts, stops, counts (int64), levels, spreads, slopes (float64;
// a slope is NaN where the segment does not trend).
nb::dict segments_dict(const std::vector<SegmentReport>& segments);

}  // namespace quarn::engine
