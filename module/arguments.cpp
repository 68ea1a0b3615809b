#include "arguments.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "pyref.hpp"

namespace quarn::py {

namespace {

// --- exceptions ---------------------------------------------------------

// Takes the raised exception (normalised) out of the interpreter.
Ref fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return {};
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal(value);
#endif
}

void restore_exception(Ref exception) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* value = exception.release();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

// str() of an exception, or the unprintable placeholder after reporting the
// failure of str() to the unraisable hook.
Ref exception_text(PyObject* exception) {
    Ref text = Ref::steal(PyObject_Str(exception));
    if (text) return text;
    PyErr_WriteUnraisable(exception);
    Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(exception)));
    if (!type_name) {
        PyErr_Clear();
        return Ref::steal(PyUnicode_FromString("<unprintable object>"));
    }
    return Ref::steal(PyUnicode_FromFormat("<unprintable %U object>", type_name.get()));
}

// A conversion that failed with exactly TypeError gets the parameter name
// as prefix; the new error keeps the original's cause. Everything else
// propagates unchanged.
void prefix_conversion_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    Ref original = fetch_exception();
    if (!original) return;
    if (Py_TYPE(original.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        restore_exception(std::move(original));
        return;
    }
    Ref text = exception_text(original.get());
    if (!text) return;
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) return;
    Ref replacement = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replacement) return;
    PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));
    restore_exception(std::move(replacement));
}

// Qualified name of an object's type for messages.
Ref type_qualname(PyObject* object) {
    Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(object)));
    if (!name) {
        PyErr_Clear();
        name = Ref::steal(PyUnicode_FromString("<failed to extract type name>"));
    }
    return name;
}

bool cannot_convert(PyObject* object, const char* target) {
    Ref type_name = type_qualname(object);
    if (!type_name) return false;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", type_name.get(),
                 target);
    return false;
}

// --- items --------------------------------------------------------------

bool item_as_float(PyObject* object, double& out) {
    if (PyFloat_CheckExact(object)) {
        out = PyFloat_AS_DOUBLE(object);
        return true;
    }
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool item_as_unsigned(PyObject* object, std::uint64_t& out) {
    unsigned long long value;
    if (PyLong_Check(object)) {
        value = PyLong_AsUnsignedLongLong(object);
    } else {
        Ref index = Ref::steal(PyNumber_Index(object));
        if (!index) return false;
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

// Capacity to reserve for a sequence. The length of a list or tuple is
// exact; for anything else __len__ is only a hint that may fail, lie or be
// huge, so it is capped and its failure ignored.
std::size_t capacity_hint(PyObject* object) {
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
        return static_cast<std::size_t>(Py_SIZE(object));
    }
    const Py_ssize_t size = PySequence_Size(object);
    if (size < 0) {
        PyErr_Clear();
        return 0;
    }
    constexpr std::size_t max_hint = std::size_t{1} << 16;
    return std::min(static_cast<std::size_t>(size), max_hint);
}

template <class T, class Item>
bool convert_sequence(PyObject* object, std::vector<T>& out, Item item) {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(object)) return cannot_convert(object, "Sequence");
    out.clear();
    out.reserve(capacity_hint(object));
    if (PyList_CheckExact(object)) {
        // Same visiting order as the list iterator, which re-reads the size
        // at every step; each item is held while it converts, since a
        // conversion method may mutate the list.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(object); ++i) {
            Ref element = Ref::borrow(PyList_GET_ITEM(object, i));
            T value;
            if (!item(element.get(), value)) return false;
            out.push_back(value);
        }
        return true;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(object));
    // Some iterators (a released memoryview's) come back with an error set.
    if (!iterator || PyErr_Occurred()) return false;
    while (true) {
        Ref element = Ref::steal(PyIter_Next(iterator.get()));
        if (!element) return !PyErr_Occurred();
        T value;
        if (!item(element.get(), value)) return false;
        out.push_back(value);
    }
}

bool fail_with_prefix(const char* name) {
    prefix_conversion_error(name);
    return false;
}

// --- parser messages ----------------------------------------------------

bool too_many_positional(const ArgumentSpec& signature, Py_ssize_t nargs) {
    const std::size_t count = signature.parameters.size();
    const char* verb = nargs == 1 ? "was" : "were";
    if (signature.required == count) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd %s given",
                     signature.function_name, count, nargs, verb);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "%s() takes from %zu to %zu positional arguments but %zd %s given",
                     signature.function_name, signature.required, count, nargs, verb);
    }
    return false;
}

bool unexpected_keyword(const ArgumentSpec& signature, PyObject* keyword) {
    Ref shown = Ref::steal(PyObject_Str(keyword));
    if (!shown) return false;
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                 signature.function_name, shown.get());
    return false;
}

bool repeated_argument(const ArgumentSpec& signature, std::size_t index) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", signature.function_name,
                 signature.parameters[index]);
    return false;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
bool missing_required(const ArgumentSpec& signature, std::span<PyObject*> slots) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < signature.required; ++i) {
        if (slots[i] == nullptr) missing.push_back(signature.parameters[i]);
    }
    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) {
            if (missing.size() > 2) list += ",";
            list += i + 1 == missing.size() ? " and " : " ";
        }
        list += "'";
        list += missing[i];
        list += "'";
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional %s: %s",
                 signature.function_name, missing.size(),
                 missing.size() == 1 ? "argument" : "arguments", list.c_str());
    return false;
}

// Index of the parameter named by a keyword, or -1. A keyword that is not a
// string, or has no UTF-8 form, matches nothing.
Py_ssize_t find_parameter(const ArgumentSpec& signature, PyObject* keyword) {
    if (!PyUnicode_Check(keyword)) return -1;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (text == nullptr) {
        PyErr_Clear();
        return -1;
    }
    const std::string_view wanted(text, static_cast<std::size_t>(size));
    for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
        if (wanted == signature.parameters[i]) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

}  // namespace

bool parse_arguments(const ArgumentSpec& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, std::span<PyObject*> slots) {
    std::fill(slots.begin(), slots.end(), nullptr);
    const std::size_t count = signature.parameters.size();
    const std::size_t positional = std::min(static_cast<std::size_t>(nargs), count);
    for (std::size_t i = 0; i < positional; ++i) slots[i] = args[i];
    if (static_cast<std::size_t>(nargs) > count) return too_many_positional(signature, nargs);

    if (kwnames != nullptr) {
        const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < keywords; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
            const Py_ssize_t index = find_parameter(signature, keyword);
            if (index < 0) return unexpected_keyword(signature, keyword);
            if (slots[index] != nullptr) return repeated_argument(signature, index);
            slots[index] = args[nargs + k];
        }
    }
    for (std::size_t i = 0; i < signature.required; ++i) {
        if (slots[i] == nullptr) return missing_required(signature, slots);
    }
    return true;
}

bool convert_float_sequence(PyObject* object, const char* name, std::vector<double>& out) {
    const int buffered = float_sequence_from_buffer(object, out);
    if (buffered > 0) return true;
    if (buffered < 0 || !convert_sequence(object, out, item_as_float)) {
        return fail_with_prefix(name);
    }
    return true;
}

bool convert_unsigned_sequence(PyObject* object, const char* name,
                               std::vector<std::uint64_t>& out) {
    const int buffered = unsigned_sequence_from_buffer(object, out);
    if (buffered > 0) return true;
    if (buffered < 0 || !convert_sequence(object, out, item_as_unsigned)) {
        return fail_with_prefix(name);
    }
    return true;
}

bool convert_unsigned(PyObject* object, const char* name, std::uint64_t& out) {
    return item_as_unsigned(object, out) || fail_with_prefix(name);
}

bool convert_float(PyObject* object, const char* name, double& out) {
    return item_as_float(object, out) || fail_with_prefix(name);
}

namespace {

// numpy's scalar booleans: a type named "bool_" or "bool" from module "numpy".
bool is_numpy_bool_type(PyTypeObject* type) {
    Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    if (!module || !PyUnicode_Check(module.get())) {
        PyErr_Clear();
        return false;
    }
    if (PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) return false;
    Ref type_name = Ref::steal(PyType_GetName(type));
    if (!type_name) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_CompareWithASCIIString(type_name.get(), "bool_") == 0 ||
           PyUnicode_CompareWithASCIIString(type_name.get(), "bool") == 0;
}

bool item_as_bool(PyObject* object, bool& out) {
    if (PyBool_Check(object)) {
        out = object == Py_True;
        return true;
    }
    PyTypeObject* type = Py_TYPE(object);
    if (is_numpy_bool_type(type)) {
        const auto* number = type->tp_as_number;
        if (number == nullptr || number->nb_bool == nullptr) {
            PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                         reinterpret_cast<PyObject*>(type));
            return false;
        }
        const int truth = number->nb_bool(object);
        if (truth < 0) return false;
        out = truth != 0;
        return true;
    }
    return cannot_convert(object, "PyBool");
}

}  // namespace

bool convert_bool(PyObject* object, const char* name, bool& out) {
    return item_as_bool(object, out) || fail_with_prefix(name);
}

bool convert_text(PyObject* object, const char* name, std::string_view& out) {
    if (!PyUnicode_Check(object)) {
        cannot_convert(object, "PyString");
        return fail_with_prefix(name);
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (text == nullptr) return fail_with_prefix(name);
    out = std::string_view(text, static_cast<std::size_t>(size));
    return true;
}

}  // namespace quarn::py
