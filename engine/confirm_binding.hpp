// The package's detection method in the engine: detect_changes and
// detect_changes_many, with the same threads, Ctrl-C and progress as detect.
#pragma once

#include <nanobind/nanobind.h>

namespace quarn::engine {

// Adds detect_changes and detect_changes_many to the module.
void add_method_functions(nanobind::module_& module);

}  // namespace quarn::engine
