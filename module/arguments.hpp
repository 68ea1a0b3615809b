// Argument parsing and conversion for the fast-call entry points.
//
// Every function declares its parameters once, as an ArgumentSpec. parse()
// matches positional and keyword arguments to slots (borrowed references);
// the converters turn one slot into a native value. All functions return
// false with a Python exception set on failure.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace quarn::py {

struct ArgumentSpec {
    const char* function_name;
    std::span<const char* const> parameters;  // every one positional-or-keyword
    std::size_t required;                     // leading parameters without default
};

// Fills one borrowed reference (or NULL) per parameter.
bool parse_arguments(const ArgumentSpec& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, std::span<PyObject*> slots);

// Converters. `name` is the parameter, used for the "argument 'name': "
// prefix that exact TypeErrors of a failed conversion receive.
bool convert_float_sequence(PyObject* object, const char* name, std::vector<double>& out);
bool convert_unsigned_sequence(PyObject* object, const char* name,
                               std::vector<std::uint64_t>& out);
bool convert_unsigned(PyObject* object, const char* name, std::uint64_t& out);
bool convert_float(PyObject* object, const char* name, double& out);
bool convert_bool(PyObject* object, const char* name, bool& out);
// The view borrows the string's UTF-8 buffer; valid while the argument lives.
bool convert_text(PyObject* object, const char* name, std::string_view& out);

// Optional arguments: an empty slot or None leaves `out` empty.
template <class T, class Convert>
bool convert_optional(PyObject* object, const char* name, std::optional<T>& out,
                      Convert convert) {
    if (object == nullptr || object == Py_None) return true;
    T value{};
    if (!convert(object, name, value)) return false;
    out = std::move(value);
    return true;
}

// Arguments with a default: an empty slot keeps the default in `out`.
template <class T, class Convert>
bool convert_or_default(PyObject* object, const char* name, T& out, Convert convert) {
    return object == nullptr || convert(object, name, out);
}

// Fast path for one-dimensional numeric buffers (numpy arrays, array.array,
// memoryview). Returns 1 when the buffer route produced the values, 0 when
// the object must take the generic route, -1 with an exception set.
int float_sequence_from_buffer(PyObject* object, std::vector<double>& out);
int unsigned_sequence_from_buffer(PyObject* object, std::vector<std::uint64_t>& out);

}  // namespace quarn::py
