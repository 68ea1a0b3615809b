// Builders of the Python result objects. Each returns a new reference, or an
// empty Ref with the interpreter's exception set. Native arrays handed over
// by rvalue are consumed: their memory is released once the list exists.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "pyref.hpp"

namespace quarn::py {

Ref float_list(std::vector<double>&& values);
Ref int_list(std::vector<std::uint64_t>&& values);
// List of 2-tuples (int, float).
Ref pair_list(std::vector<std::pair<std::uint64_t, double>>&& pairs);
// List of 2-tuples (int, int).
Ref int_pair_list(std::vector<std::pair<std::uint64_t, std::uint64_t>>&& pairs);

Ref make_int(std::uint64_t value);
Ref make_float(double value);

// Insert under a text key; releases the builder's references to key and
// value whether or not the insertion succeeded. False with an exception set
// on failure (including an empty `value`, whose exception is already set).
bool dict_set(PyObject* dict, std::string_view key, Ref value);
bool dict_set_object(PyObject* dict, Ref key, Ref value);
bool dict_set_float_list(PyObject* dict, std::string_view key, std::vector<double>&& values);
bool dict_set_int_list(PyObject* dict, std::string_view key, std::vector<std::uint64_t>&& values);
bool dict_set_cdf(PyObject* dict, std::vector<std::pair<std::uint64_t, double>>&& pairs);

}  // namespace quarn::py
