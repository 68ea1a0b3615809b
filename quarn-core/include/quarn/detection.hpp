// A detection by either method, on one series or many: the one runner that
// callers use. It scales the native method's series (see scaling.hpp) and
// brings both methods' figures back to the series' units, restores every
// position to the whole series where missing values were left out, and
// describes the result as one change table with the segments between the
// changes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "quarn/change_table.hpp"
#include "quarn/confirm.hpp"
#include "quarn/missing.hpp"
#include "quarn/multi_window.hpp"
#include "quarn/report.hpp"

namespace quarn {

struct DetectionArguments {
    // The confirm method (true) or the multi-window detector's consensus.
    bool confirm = true;
    // The options of the chosen method; their `series` is not read.
    MultiWindowArguments native;
    MethodArguments method;
    // The native method sees each series centred and scaled by a power of
    // two (false: as given).
    bool scale = true;
};

// One series of a detection.
struct DetectionSeries {
    std::span<const double> original;  // the whole series, missing values NaN
    std::span<const double> values;    // what the detectors read: its present values
    const PresentPositions* present = nullptr;  // the way back to `original`; not null
};

// What one series' detection leaves: every position one of the whole
// series, every figure in the series' units.
struct Detection {
    // The native detector's output, or the confirm method's candidate
    // detector's (when its arguments keep it); its consensus is emptied.
    std::optional<DetectorOutput> detector;
    ChangeTable table;
    std::vector<SegmentReport> segments;
    std::optional<double> seasonal_period;  // the confirm method's, when found
};

// Runs the chosen method on every series: one series alone (its window
// sizes in parallel), several one task per series. The detections come in
// input order; a failure is that of the first failing series in input
// order (with its `series_index` when there are several), its positions
// those of the present values.
DetectorResult<std::vector<Detection>> detect_series(std::span<const DetectionSeries> series,
                                                     const DetectionArguments& arguments);

// Positions that the sweeps of a detection of n (present) values visit:
// the total its progress reaches.
std::uint64_t detection_positions(std::size_t n, const DetectionArguments& arguments);

}  // namespace quarn
