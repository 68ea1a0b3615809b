// What the confirm method's results need besides run(): the segments that
// given change points make of a series, and the method's window sizes.
#pragma once

#include <nanobind/nanobind.h>

namespace quarn::engine {

// Adds describe_segments and method_window_sizes to the module.
void add_method_functions(nanobind::module_& module);

}  // namespace quarn::engine
