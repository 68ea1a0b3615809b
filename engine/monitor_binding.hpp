// The online change monitor in the engine: the class MonitorCore, which
// quarn.Monitor wraps.
#pragma once

#include <nanobind/nanobind.h>

namespace quarn::engine {

// Adds MonitorCore to the module.
void add_monitor_class(nanobind::module_& module);

}  // namespace quarn::engine
