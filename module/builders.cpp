#include "builders.hpp"

namespace quarn::py {

namespace {

// A list of the final length, each slot set once from index 0 upwards.
template <class T, class Make>
Ref build_list(std::vector<T>&& values, Make make) {
    std::vector<T> owned = std::move(values);
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(owned.size())));
    if (!list) return {};
    for (std::size_t i = 0; i < owned.size(); ++i) {
        Ref item = make(owned[i]);
        if (!item) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list;
}

Ref make_tuple(Ref first, Ref second) {
    if (!first || !second) return {};
    Ref tuple = Ref::steal(PyTuple_New(2));
    if (!tuple) return {};
    PyTuple_SET_ITEM(tuple.get(), 0, first.release());
    PyTuple_SET_ITEM(tuple.get(), 1, second.release());
    return tuple;
}

// The exception of a failed insertion; SystemError if the interpreter set none.
void ensure_error_set() {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
}

}  // namespace

Ref make_int(std::uint64_t value) { return Ref::steal(PyLong_FromUnsignedLongLong(value)); }

Ref make_float(double value) { return Ref::steal(PyFloat_FromDouble(value)); }

Ref float_list(std::vector<double>&& values) { return build_list(std::move(values), make_float); }

Ref int_list(std::vector<std::uint64_t>&& values) {
    return build_list(std::move(values), make_int);
}

Ref pair_list(std::vector<std::pair<std::uint64_t, double>>&& pairs) {
    return build_list(std::move(pairs), [](const std::pair<std::uint64_t, double>& pair) {
        return make_tuple(make_int(pair.first), make_float(pair.second));
    });
}

Ref int_pair_list(std::vector<std::pair<std::uint64_t, std::uint64_t>>&& pairs) {
    return build_list(std::move(pairs), [](const std::pair<std::uint64_t, std::uint64_t>& pair) {
        return make_tuple(make_int(pair.first), make_int(pair.second));
    });
}

bool dict_set_object(PyObject* dict, Ref key, Ref value) {
    if (!key || !value) return false;
    if (PyDict_SetItem(dict, key.get(), value.get()) < 0) {
        ensure_error_set();
        return false;
    }
    return true;
}

bool dict_set(PyObject* dict, std::string_view key, Ref value) {
    if (!value) return false;
    Ref key_object =
        Ref::steal(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
    return dict_set_object(dict, std::move(key_object), std::move(value));
}

bool dict_set_float_list(PyObject* dict, std::string_view key, std::vector<double>&& values) {
    return dict_set(dict, key, float_list(std::move(values)));
}

bool dict_set_int_list(PyObject* dict, std::string_view key, std::vector<std::uint64_t>&& values) {
    return dict_set(dict, key, int_list(std::move(values)));
}

bool dict_set_cdf(PyObject* dict, std::vector<std::pair<std::uint64_t, double>>&& pairs) {
    return dict_set(dict, "cdf", pair_list(std::move(pairs)));
}

}  // namespace quarn::py
