#include "entry_points.hpp"

#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "arguments.hpp"
#include "builders.hpp"
#include "detector_result.hpp"
#include "quarn/multi_window.hpp"
#include "quarn/distance.hpp"
#include "quarn/refine.hpp"
#include "quarn/stats.hpp"

namespace quarn::py {

namespace {

using Handler = PyObject* (*)(PyObject* const*, Py_ssize_t, PyObject*);

// Raises a core failure: ValueError whose only argument is the message.
PyObject* raise_value_error(const std::string& message) {
    Ref text = Ref::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(PyExc_ValueError, text.get());
    return nullptr;
}

// No C++ exception crosses into the interpreter: exhausted memory (and
// impossible sizes) become MemoryError, anything else a RuntimeError with
// its text.
template <Handler handler>
PyObject* guarded(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    try {
        return handler(args, nargs, kwnames);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {
        return PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unexpected native exception");
    }
    return nullptr;
}

// --- two-sample statistics ----------------------------------------------

constexpr const char* sample_parameters[] = {"left", "right"};

PyObject* two_sample(const ArgumentSpec& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    PyObject* slots[2];
    if (!parse_arguments(signature, args, nargs, kwnames, slots)) return nullptr;
    std::vector<double> left;
    std::vector<double> right;
    if (!convert_float_sequence(slots[0], "left", left) ||
        !convert_float_sequence(slots[1], "right", right)) {
        return nullptr;
    }
    const Result<double> distance = wasserstein_samples(left, right);
    if (!distance) return raise_value_error(distance.error());
    return make_float(*distance).release();
}

PyObject* wasserstein_statistic(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const ArgumentSpec signature{"wasserstein_statistic", sample_parameters, 2};
    return two_sample(signature, args, nargs, kwnames);
}

PyObject* ipm_statistic(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const ArgumentSpec signature{"ipm_statistic", sample_parameters, 2};
    return two_sample(signature, args, nargs, kwnames);
}

// --- best splits ----------------------------------------------------------

constexpr const char* series_parameter[] = {"series"};

// Parses and converts the single `series` argument.
bool series_only(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 std::vector<double>& series) {
    const ArgumentSpec signature{function, series_parameter, 1};
    PyObject* slots[1];
    return parse_arguments(signature, args, nargs, kwnames, slots) &&
           convert_float_sequence(slots[0], "series", series);
}

PyObject* refine_cusum_entry(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::vector<double> series;
    if (!series_only("refine_cusum", args, nargs, kwnames, series)) return nullptr;
    const Result<std::uint64_t> split = refine_cusum(series);
    if (!split) return raise_value_error(split.error());
    return make_int(*split).release();
}

PyObject* refine_wasserstein_entry(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::vector<double> series;
    if (!series_only("refine_wasserstein", args, nargs, kwnames, series)) return nullptr;
    Result<WassersteinRefinement> refinement = refine_wasserstein(series);
    if (!refinement) return raise_value_error(refinement.error());
    Ref split = make_int(refinement->split);
    if (!split) return nullptr;
    Ref profile = float_list(std::move(refinement->profile));
    if (!profile) return nullptr;
    Ref tuple = Ref::steal(PyTuple_New(2));
    if (!tuple) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), 0, split.release());
    PyTuple_SET_ITEM(tuple.get(), 1, profile.release());
    return tuple.release();
}

PyObject* swal_statistic_entry(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* parameters[] = {"series", "change_type"};
    static const ArgumentSpec signature{"swal_statistic", parameters, 1};
    PyObject* slots[2];
    if (!parse_arguments(signature, args, nargs, kwnames, slots)) return nullptr;
    std::vector<double> series;
    std::string_view change_type = "distribution";
    if (!convert_float_sequence(slots[0], "series", series) ||
        !convert_or_default(slots[1], "change_type", change_type, convert_text)) {
        return nullptr;
    }
    const Result<std::uint64_t> split = swal_split(series, change_type);
    if (!split) return raise_value_error(split.error());
    return make_int(*split).release();
}

// --- detectors --------------------------------------------------------------

PyObject* quarn_single_window(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* parameters[] = {"series", "window_size", "n_perm", "alpha_q",
                                                 "seed",   "change_type", "b",      "taper_ratio",
                                                 "center", "batch_size"};
    static const ArgumentSpec signature{"quarn_single_window", parameters, 2};
    PyObject* slots[10];
    if (!parse_arguments(signature, args, nargs, kwnames, slots)) return nullptr;

    std::vector<double> series;
    SingleWindowArguments arguments;
    std::uint64_t batch_size = 32;  // accepted for compatibility; no effect
    if (!convert_float_sequence(slots[0], "series", series) ||
        !convert_unsigned(slots[1], "window_size", arguments.window_size) ||
        !convert_or_default(slots[2], "n_perm", arguments.n_perm, convert_unsigned) ||
        !convert_or_default(slots[3], "alpha_q", arguments.alpha_q, convert_float) ||
        !convert_or_default(slots[4], "seed", arguments.seed, convert_unsigned) ||
        !convert_or_default(slots[5], "change_type", arguments.change_type, convert_text) ||
        !convert_optional(slots[6], "b", arguments.b, convert_unsigned) ||
        !convert_or_default(slots[7], "taper_ratio", arguments.taper_ratio, convert_float) ||
        !convert_or_default(slots[8], "center", arguments.center, convert_bool) ||
        !convert_or_default(slots[9], "batch_size", batch_size, convert_unsigned)) {
        return nullptr;
    }

    arguments.series = series;
    DetectorResult<WindowResult> result = run_single_window(arguments);
    if (!result) return raise_value_error(result.error().message);
    return window_result_dict(std::move(*result)).release();
}

PyObject* quarn_detector(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* parameters[] = {
        "series",  "window_sizes", "n_perm", "alpha_q",     "seed",   "tol",       "workers",
        "backend", "change_type",  "b",      "taper_ratio", "center", "batch_size"};
    static const ArgumentSpec signature{"quarn_detector", parameters, 1};
    PyObject* slots[13];
    if (!parse_arguments(signature, args, nargs, kwnames, slots)) return nullptr;

    std::vector<double> series;
    MultiWindowArguments arguments;
    std::uint64_t batch_size = 32;  // accepted for compatibility; no effect
    if (!convert_float_sequence(slots[0], "series", series) ||
        !convert_optional(slots[1], "window_sizes", arguments.window_sizes,
                          convert_unsigned_sequence) ||
        !convert_or_default(slots[2], "n_perm", arguments.n_perm, convert_unsigned) ||
        !convert_or_default(slots[3], "alpha_q", arguments.alpha_q, convert_float) ||
        !convert_or_default(slots[4], "seed", arguments.seed, convert_unsigned) ||
        !convert_or_default(slots[5], "tol", arguments.tol, convert_unsigned) ||
        !convert_optional(slots[6], "workers", arguments.workers, convert_unsigned) ||
        !convert_or_default(slots[7], "backend", arguments.backend, convert_text) ||
        !convert_or_default(slots[8], "change_type", arguments.change_type, convert_text) ||
        !convert_optional(slots[9], "b", arguments.b, convert_unsigned) ||
        !convert_or_default(slots[10], "taper_ratio", arguments.taper_ratio, convert_float) ||
        !convert_or_default(slots[11], "center", arguments.center, convert_bool) ||
        !convert_or_default(slots[12], "batch_size", batch_size, convert_unsigned)) {
        return nullptr;
    }
    arguments.series = series;

    DetectorResult<DetectorOutput> output = detect_multi_window(arguments);
    if (!output) return raise_value_error(output.error().message);
    return build_detector_result(std::move(*output)).release();
}

}  // namespace

const std::array<EntryPoint, 7>& entry_points() {
    static const std::array<EntryPoint, 7> table{{
        {"quarn_detector", guarded<quarn_detector>,
         "quarn_detector(series, window_sizes=None, n_perm=300, alpha_q=1.0, seed=123, tol=2, "
         "workers=None, backend=\"thread\", change_type=\"mean\", b=None, taper_ratio=0.5, "
         "center=True, batch_size=32)\n--\n\n"},
        {"quarn_single_window", guarded<quarn_single_window>,
         "quarn_single_window(series, window_size, n_perm=300, alpha_q=1.0, seed=123, "
         "change_type=\"mean\", b=None, taper_ratio=0.5, center=True, batch_size=32)\n--\n\n"},
        {"refine_cusum", guarded<refine_cusum_entry>, "refine_cusum(series)\n--\n\n"},
        {"refine_wasserstein", guarded<refine_wasserstein_entry>,
         "refine_wasserstein(series)\n--\n\n"},
        {"swal_statistic", guarded<swal_statistic_entry>,
         "swal_statistic(series, change_type=\"distribution\")\n--\n\n"},
        {"wasserstein_statistic", guarded<wasserstein_statistic>,
         "wasserstein_statistic(left, right)\n--\n\n"},
        {"ipm_statistic", guarded<ipm_statistic>, "ipm_statistic(left, right)\n--\n\n"},
    }};
    return table;
}

}  // namespace quarn::py
