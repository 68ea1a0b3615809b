// quarn._engine: the package's own entry to the detector core. Unlike the
// native module it releases the interpreter lock while the core computes,
// answers Ctrl-C within a few tens of milliseconds, reports progress, takes
// numpy arrays without copying them and returns numpy arrays.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "compact_result.hpp"
#include "errors.hpp"
#include "confirm_binding.hpp"
#include "monitor_binding.hpp"
#include "run_binding.hpp"
#include "quarn/multi_window.hpp"
#include "quarn/kernels.hpp"
#include "series_calls.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace quarn::engine {

namespace {

// The options shared by detect and detect_many, as the core takes them.
struct DetectorOptions {
    std::optional<std::vector<std::uint64_t>> window_sizes;
    std::uint64_t n_perm;
    double alpha_q;
    std::uint64_t seed;
    std::uint64_t tol;
    std::optional<std::uint64_t> workers;
    std::string backend;
    std::string change_type;
    std::optional<std::uint64_t> b;
    double taper_ratio;
    bool center;
    ResultLayout layout;
    // Missing values (NaN) are left out and positions restored.
    bool skip_missing = false;

    MultiWindowArguments arguments(RunControl& control) const {
        MultiWindowArguments arguments;
        arguments.window_sizes = window_sizes;
        arguments.n_perm = n_perm;
        arguments.alpha_q = alpha_q;
        arguments.seed = seed;
        arguments.tol = tol;
        arguments.workers = workers;
        arguments.backend = backend;
        arguments.change_type = change_type;
        arguments.b = b;
        arguments.taper_ratio = taper_ratio;
        arguments.center = center;
        arguments.control = &control;
        arguments.keep_starts = false;  // implied by the window size
        arguments.threshold_runs = layout.threshold_runs;
        return arguments;
    }

    std::span<const std::uint64_t> sizes() const {
        return window_sizes ? std::span<const std::uint64_t>(*window_sizes)
                            : std::span<const std::uint64_t>(default_window_sizes());
    }
};

// True or False, or a numpy bool: what the native module takes for a flag.
bool flag_value(nb::handle value, const char* name) {
    if (PyBool_Check(value.ptr())) return value.ptr() == Py_True;
    nb::handle type = value.type();
    const bool numpy_bool = nb::hasattr(type, "__module__") &&
                            nb::str(type.attr("__module__")).equal(nb::str("numpy")) &&
                            (nb::str(type.attr("__name__")).equal(nb::str("bool_")) ||
                             nb::str(type.attr("__name__")).equal(nb::str("bool")));
    if (numpy_bool) {
        const int truth = PyObject_IsTrue(value.ptr());
        if (truth < 0) throw nb::python_error();
        return truth == 1;
    }
    throw nb::type_error(
        (std::string(name) + " must be a bool, not " + nb::str(type.attr("__name__")).c_str())
            .c_str());
}

nb::dict detect(const SeriesArray& series, const DetectorOptions& options,
                const nb::object& progress) {
    return run_on_series(
        series, progress, options.skip_missing,
        [&](std::size_t n) { return sweep_positions(n, options.sizes()); },
        [&](std::span<const double> values, RunControl& control) {
            MultiWindowArguments arguments = options.arguments(control);
            arguments.series = values;
            return detect_multi_window(arguments);
        },
        [&](DetectorOutput&& output, std::size_t n) {
            return detection_dict(std::move(output), n, options.layout);
        });
}

nb::list detect_many(const std::vector<SeriesArray>& series, const DetectorOptions& options,
                     const nb::object& progress) {
    return run_on_batch(
        series, progress, options.skip_missing,
        [&](std::size_t n) { return sweep_positions(n, options.sizes()); },
        [&](std::span<const std::span<const double>> values, RunControl& control) {
            return detect_many_series(values, options.arguments(control));
        },
        [&](DetectorOutput&& output, std::size_t n) {
            return detection_dict(std::move(output), n, options.layout);
        });
}

nb::dict single_window(const SeriesArray& series, std::uint64_t window_size, std::uint64_t n_perm,
                       double alpha_q, std::uint64_t seed, const std::string& change_type,
                       std::optional<std::uint64_t> b, double taper_ratio, nb::handle center,
                       const nb::object& progress) {
    const bool center_flag = flag_value(center, "center");
    return run_on_series(
        series, progress, false,
        [&](std::size_t n) { return sweep_positions(n, std::span(&window_size, 1)); },
        [&](std::span<const double> values, RunControl& control) {
            SingleWindowArguments arguments;
            arguments.series = values;
            arguments.window_size = window_size;
            arguments.n_perm = n_perm;
            arguments.alpha_q = alpha_q;
            arguments.seed = seed;
            arguments.change_type = change_type;
            arguments.b = b;
            arguments.taper_ratio = taper_ratio;
            arguments.center = center_flag;
            arguments.control = &control;
            auto output = run_single_window(arguments);
            if (output) std::vector<std::uint64_t>().swap(output->starts);
            return output;
        },
        [](WindowResult&& output, std::size_t) { return window_dict(std::move(output)); });
}

std::uint64_t positions(std::uint64_t n, std::optional<std::vector<std::uint64_t>> window_sizes) {
    return sweep_positions(static_cast<std::size_t>(n),
                           window_sizes ? std::span<const std::uint64_t>(*window_sizes)
                                        : std::span<const std::uint64_t>(default_window_sizes()));
}

// The options of detect and detect_many as the keywords give them.
DetectorOptions detector_options(std::optional<std::vector<std::uint64_t>> window_sizes,
                                 std::uint64_t n_perm, double alpha_q, std::uint64_t seed,
                                 std::uint64_t tol, std::optional<std::uint64_t> workers,
                                 std::string backend, std::string change_type,
                                 std::optional<std::uint64_t> b, double taper_ratio,
                                 nb::handle center, bool threshold_runs, bool writeable,
                                 bool skip_missing) {
    return DetectorOptions{std::move(window_sizes),
                           n_perm,
                           alpha_q,
                           seed,
                           tol,
                           workers,
                           std::move(backend),
                           std::move(change_type),
                           b,
                           taper_ratio,
                           flag_value(center, "center"),
                           ResultLayout{threshold_runs, writeable},
                           skip_missing};
}

// The keyword options of detect and detect_many, in this order. The
// detector's options have no defaults here: the package passes every one,
// from its options table, so that no default is kept in two places.
#define QUARN_DETECTOR_OPTIONS                                                                \
    nb::kw_only(), "window_sizes"_a.none(), "n_perm"_a, "alpha_q"_a, "seed"_a, "tol"_a,       \
        "workers"_a.none(), "backend"_a = "thread", "change_type"_a, "b"_a.none(),            \
        "taper_ratio"_a, "center"_a, "threshold_runs"_a = false, "writeable"_a = false,       \
        "skip_missing"_a = false, "progress"_a = nb::none()

}  // namespace

}  // namespace quarn::engine

NB_MODULE(_engine, module) {
    using namespace quarn::engine;
    module.doc() =
        "The quarn package's engine: the detector core without the interpreter lock, with "
        "Ctrl-C, progress and numpy results.";
    nb::set_leak_warnings(false);  // results may well outlive the module at exit
    add_detector_error(module);
    install_shutdown_hooks(module);
    add_method_functions(module);
    add_monitor_class(module);
    add_run_function(module);

    module.def(
        "detect",
        [](const SeriesArray& series, std::optional<std::vector<std::uint64_t>> window_sizes,
           std::uint64_t n_perm, double alpha_q, std::uint64_t seed, std::uint64_t tol,
           std::optional<std::uint64_t> workers, std::string backend, std::string change_type,
           std::optional<std::uint64_t> b, double taper_ratio, nb::handle center,
           bool threshold_runs, bool writeable, bool skip_missing, nb::object progress) {
            const DetectorOptions options = detector_options(
                std::move(window_sizes), n_perm, alpha_q, seed, tol, workers, std::move(backend),
                std::move(change_type), b, taper_ratio, center, threshold_runs, writeable,
                skip_missing);
            return detect(series, options, progress);
        },
        "series"_a, QUARN_DETECTOR_OPTIONS,
        "Runs the multi-window detector on one series (a 1-D float64 array, read in place).\n\n"
        "Returns the compact result: a dict with 'n', 'windows' (one dict per distinct window "
        "size, ascending) and 'consensus'. threshold_runs=True stores each window's thresholds "
        "by runs of equal values where that takes less memory; writeable=True hands over the "
        "statistics and thresholds writeable (to be changed in place and locked by the caller). "
        "skip_missing=True leaves out NaN values: the detector reads the others, every position "
        "is one of the whole series, windows get their 'starts' where values were left out, and "
        "the dict gets 'n_missing'. "
        "Raises DetectorError (a ValueError) with the detector's message.");

    module.def(
        "detect_many",
        [](const std::vector<SeriesArray>& series,
           std::optional<std::vector<std::uint64_t>> window_sizes, std::uint64_t n_perm,
           double alpha_q, std::uint64_t seed, std::uint64_t tol,
           std::optional<std::uint64_t> workers, std::string backend, std::string change_type,
           std::optional<std::uint64_t> b, double taper_ratio, nb::handle center,
           bool threshold_runs, bool writeable, bool skip_missing, nb::object progress) {
            const DetectorOptions options = detector_options(
                std::move(window_sizes), n_perm, alpha_q, seed, tol, workers, std::move(backend),
                std::move(change_type), b, taper_ratio, center, threshold_runs, writeable,
                skip_missing);
            return detect_many(series, options, progress);
        },
        "series"_a, QUARN_DETECTOR_OPTIONS,
        "Runs detect on every series of a sequence, the series in parallel.\n\n"
        "Returns a list of compact results in input order, each equal to detect's. Progress "
        "counts the positions of all series. The first failing series in input order raises "
        "DetectorError with its series_index.");

    module.def("single_window", &single_window, "series"_a, "window_size"_a, nb::kw_only(),
               "n_perm"_a, "alpha_q"_a, "seed"_a, "change_type"_a, "b"_a.none(), "taper_ratio"_a,
               "center"_a, "progress"_a = nb::none(),
               "Runs the detector for one window size; returns one window dict.");

    // Test hooks: which merged-pass kernel runs, and a switch to the
    // portable one, so that tests can compare both paths bit for bit.
    module.def(
        "_kernel_path",
        [] { return std::string(quarn::kernel_path_name(quarn::active_kernel_path())); },
        "The merged-pass kernel in use: 'portable' or the SIMD path's name.");
    module.def(
        "_force_portable_kernels", [](bool force) { quarn::force_portable_kernels(force); },
        "force"_a,
        "Runs the portable kernels (True) or the fastest this processor has (False) from the "
        "next computation on. This module's kernels only.");

    module.def("sweep_positions", &positions, "n"_a, "window_sizes"_a = nb::none(),
               "Positions that the sweeps of window_sizes visit over n values: the total that "
               "progress reaches.");
}
