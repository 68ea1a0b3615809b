// The seven Python functions of the module, in registration order.
#pragma once

#include <Python.h>

#include <array>

namespace quarn::py {

// Handler of METH_FASTCALL | METH_KEYWORDS: module, argument array, number
// of positional arguments, tuple of keyword names or NULL.
using FastKeywordsHandler = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

struct EntryPoint {
    const char* name;
    FastKeywordsHandler handler;
    const char* doc;          // the text signature only, so __doc__ is None
};

const std::array<EntryPoint, 7>& entry_points();

}  // namespace quarn::py
