// quarn._engine: the package's own entry to the detector core. Unlike the
// native module it releases the interpreter lock while the core computes,
// answers Ctrl-C within a few tens of milliseconds, reports progress, takes
// numpy arrays without copying them and returns numpy arrays.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>

#include "background_run.hpp"
#include "confirm_binding.hpp"
#include "errors.hpp"
#include "monitor_binding.hpp"
#include "quarn/kernels.hpp"
#include "run_binding.hpp"

namespace nb = nanobind;

namespace quarn::engine {

namespace {

// The merged-pass kernels this module runs: the fastest this processor has,
// or the portable ones where the environment variable QUARN_KERNELS is
// "portable" at import (a debugging aid: both give the same bits). The path
// in use is the module's attribute kernel_path.
void choose_kernels(nb::module_& module) {
    const nb::object wanted =
        nb::module_::import_("os").attr("environ").attr("get")("QUARN_KERNELS", "");
    const std::string value = nb::cast<std::string>(wanted);
    if (value == "portable") {
        force_portable_kernels(true);
    } else if (!value.empty() && value != "auto") {
        const std::string text = "QUARN_KERNELS=" + value +
                                 " is not known ('portable' or 'auto'); the fastest kernels run";
        if (PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) != 0) throw nb::python_error();
    }
    module.attr("kernel_path") = std::string(kernel_path_name(active_kernel_path()));
}

}  // namespace

}  // namespace quarn::engine

NB_MODULE(_engine, module) {
    using namespace quarn::engine;
    module.doc() =
        "The quarn package's engine: the detector core without the interpreter lock, with "
        "Ctrl-C, progress and numpy results.";
    nb::set_leak_warnings(false);  // results may well outlive the module at exit
    choose_kernels(module);
    add_detector_error(module);
    install_shutdown_hooks(module);
    add_method_functions(module);
    add_monitor_class(module);
    add_run_function(module);
}
