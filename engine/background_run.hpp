// Runs a detection on a thread of its own while the calling Python thread
// waits with the interpreter lock released, waking every few milliseconds
// to run signal handlers (Ctrl-C) and the progress callback.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <functional>

#include "quarn/control.hpp"

namespace quarn::engine {

namespace nb = nanobind;

// Runs `work` to its end on a new thread; `work` polls `control` and
// returns whether its run succeeded. Meanwhile the calling thread releases
// the interpreter lock and, about every 20 ms, takes it back for a moment
// to run pending signal handlers and, at most every 0.1 s, to call
// `progress(done, total)` with the positions swept so far. When a handler or
// the callback raises, the run is asked to stop, its thread is joined and
// nb::python_error carries the exception on. A run that succeeded ends with
// one more call progress(total, total). An exception that `work` lets out is
// thrown again on the calling thread. Needs the interpreter lock on entry
// and holds it again on return.
void run_in_background(RunControl& control, const std::function<bool()>& work,
                       const nb::object& progress, std::uint64_t total);

// Registers the interpreter's exit hook (stop every running detection and
// wait for its thread before the interpreter goes down) and the fork
// handlers. Called once, when the module is imported.
void install_shutdown_hooks(nb::module_& module);

}  // namespace quarn::engine
