// Python dictionaries of the detectors' results.
#pragma once

#include "quarn/multi_window.hpp"
#include "pyref.hpp"
#include "quarn/single_window.hpp"

namespace quarn::py {

// {"change_points", "starts", "statistics",
//  "tapered_block_bootstrap_threshold", "localized_regions"}; consumes `result`.
Ref window_result_dict(WindowResult&& result);

// {"cp_dict", "window_results", "out"}; consumes `output`, releasing each
// part of it as soon as it has been converted.
Ref build_detector_result(DetectorOutput&& output);

}  // namespace quarn::py
