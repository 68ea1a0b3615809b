// The engine's results: numpy arrays instead of lists of Python numbers.
//
// A window size's result is a dict
//   window_size        int
//   statistics         float64[P]  statistic of every position
//   thresholds         float64[P]  bootstrap threshold in force there, or
//                                  None when the runs hold them
//   threshold_runs     None, or a tuple (starts int64[R], values float64[R]):
//                      positions starts[i] up to starts[i + 1] (the last up
//                      to P) have the threshold values[i]
//   change_points      int64[k]
//   localized_regions  int64[k, 2] half-open [start, end) of each region
// where position v starts at v * window_size. Where missing values were
// left out of the series, a window dict also has
//   starts             int64[P]    the first value of every position
// (then no longer v * window_size). A detection's windows are a sequence of
// window dicts, ascending window size, each size once. The per-position
// arrays take over the core's buffers (no copy); every array is read-only.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "quarn/multi_window.hpp"
#include "quarn/report.hpp"

namespace quarn::engine {

namespace nb = nanobind;

// Read-only numpy arrays that take over a vector's buffer (no copy):
// indices as int64, figures as float64.
nb::object index_array(std::vector<std::uint64_t>&& values);
nb::object figure_array(std::vector<double>&& values);

// The window dicts of a detection, emptying `output`: a sequence
// (DetectionWindows) that makes each dict when it is first read, and tells
// the window sizes (window_sizes) without making them.
nb::object window_dicts(DetectorOutput&& output);

// Registers the class of window_dicts' sequences.
void add_detection_windows(nb::module_& module);

// The segments between change points as a dict of arrays, one entry per
// segment: starts, stops, counts (int64), levels, spreads, slopes (float64;
// a slope is NaN where the segment does not trend).
nb::dict segments_dict(const std::vector<SegmentReport>& segments);

}  // namespace quarn::engine
