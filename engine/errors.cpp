#include "errors.hpp"

#include <optional>
#include <string>

namespace quarn::engine {

namespace {

// The exception type, created at import and kept for the life of the
// process (the module holds a reference as well).
PyObject* detector_error_type = nullptr;

nb::object optional_int(const std::optional<std::uint64_t>& value) {
    if (!value) return nb::none();
    nb::object number =
        nb::steal(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(*value)));
    if (!number.is_valid()) throw nb::python_error();
    return number;
}

const char* kind_name(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::invalid_series: return "invalid_series";
        case ErrorKind::window_too_small: return "window_too_small";
        case ErrorKind::stopped: return "stopped";
        case ErrorKind::invalid_argument: break;
    }
    return "invalid_argument";
}

}  // namespace

void add_detector_error(nb::module_& module) {
    if (detector_error_type == nullptr) {
        detector_error_type = PyErr_NewExceptionWithDoc(
            "quarn._engine.DetectorError",
            "A detection that failed on its input.\n\n"
            "The text is the detector's message. non_finite_index is the index of the "
            "first NaN or infinite value, window_size the window size whose sweep "
            "failed, series_index the failing series of a run on several; each is None "
            "where it does not apply. kind says what failed, for code to act on: "
            "'invalid_series' (too few values, or a NaN or infinite one), "
            "'window_too_small' (a window cannot hold the bootstrap's blocks), "
            "'stopped', or 'invalid_argument' (an option value, or anything else).",
            PyExc_ValueError, nullptr);
        if (detector_error_type == nullptr) throw nb::python_error();
    }
    module.attr("DetectorError") = nb::borrow(detector_error_type);
}

void raise_detector_error(const DetectorError& error) {
    nb::object text = nb::steal(PyUnicode_DecodeUTF8(
        error.message.data(), static_cast<Py_ssize_t>(error.message.size()), "replace"));
    if (!text.is_valid()) throw nb::python_error();
    nb::object exception = nb::steal(PyObject_CallOneArg(detector_error_type, text.ptr()));
    if (!exception.is_valid()) throw nb::python_error();
    exception.attr("non_finite_index") = optional_int(error.non_finite_index);
    exception.attr("window_size") = optional_int(error.window_size);
    exception.attr("series_index") = optional_int(error.series_index);
    exception.attr("kind") = nb::str(kind_name(error.kind));
    PyErr_SetObject(detector_error_type, exception.ptr());
    throw nb::python_error();
}

void raise_out_of_memory(std::size_t values, std::size_t series) {
    std::string text = "not enough memory to run the detector on " + std::to_string(values) +
                       (values == 1 ? " value" : " values");
    if (series != 1) text += " in " + std::to_string(series) + " series";
    PyErr_SetString(PyExc_MemoryError, text.c_str());
    throw nb::python_error();
}

void raise_runtime_error(const char* text) {
    PyErr_SetString(PyExc_RuntimeError, text);
    throw nb::python_error();
}

}  // namespace quarn::engine
