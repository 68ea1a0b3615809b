// quarn._engine.run: both detection methods on one series or many, behind
// one entry that returns one change table per series.
#pragma once

#include <nanobind/nanobind.h>

namespace quarn::engine {

// Adds run to the module.
void add_run_function(nanobind::module_& module);

}  // namespace quarn::engine
