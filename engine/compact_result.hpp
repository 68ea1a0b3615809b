// The engine's results: numpy arrays instead of lists of Python numbers.
//
// A window size's result is a dict
//   window_size        int
//   statistics         float64[P]  statistic of every position
//   thresholds         float64[P]  bootstrap threshold in force there
//   change_points      int64[k]
//   localized_regions  int64[k, 2] half-open [start, end) of each region
// where position v starts at v * window_size (the starts are not stored).
// A detection is a dict
//   n           int, the length of the series
//   windows     tuple of window dicts, ascending window size, each size once
//   consensus   dict of leaders (int64), segment_votes (int64), scores,
//               probabilities and cdf (float64), one entry per leader in
//               ascending order
// The per-position arrays take over the core's buffers (no copy); every
// array is read-only.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>

#include "quarn/detector.hpp"

namespace quarn::engine {

namespace nb = nanobind;

nb::dict window_dict(WindowResult&& result);

nb::dict detection_dict(DetectorOutput&& output, std::size_t n);

}  // namespace quarn::engine
