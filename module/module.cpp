// Module object of _quarn_native: single-phase initialisation, the function
// table and __all__.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "entry_points.hpp"
#include "pyref.hpp"
#include "quarn/pool.hpp"

namespace {

using quarn::py::Ref;

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_quarn_native",
    "Native C++ extension module for the Python `quarn` package.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The interpreter that imported the module first, and the module object,
// created once and kept for the life of the process.
std::atomic<std::int64_t> owning_interpreter{-1};
PyObject* module_object = nullptr;

PyCFunction as_pycfunction(quarn::py::FastKeywordsHandler handler) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(handler));
}

// Adds one function: the heap method record lives until the process ends,
// since the function object keeps a pointer to it.
bool add_function(PyObject* module, const quarn::py::EntryPoint& entry) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;
    auto* record = new PyMethodDef{entry.name, as_pycfunction(entry.handler),
                                   METH_FASTCALL | METH_KEYWORDS, entry.doc};
    Ref function = Ref::steal(PyCMethod_New(record, module, module_name.get(), nullptr));
    if (!function) return false;
    Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return false;
    if (!PyUnicode_Check(name.get())) {
        PyErr_SetString(PyExc_TypeError, "function __name__ must be a str");
        return false;
    }
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "`__all__` must be a list");
        return false;
    }
    return PyList_Append(all.get(), name.get()) == 0 &&
           PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

}  // namespace

PyMODINIT_FUNC PyInit__quarn_native() {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id == -1) return nullptr;
    std::int64_t expected = -1;
    if (!owning_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "native C++ extension modules like _quarn_native do not yet support "
                        "subinterpreters");
        return nullptr;
    }
    if (module_object != nullptr) return Py_NewRef(module_object);

    Ref module = Ref::steal(PyModule_Create2(&module_definition, 1013));
    if (!module) return nullptr;
    for (const auto& entry : quarn::py::entry_points()) {
        if (!add_function(module.get(), entry)) return nullptr;
    }
    quarn::guard_pool_across_fork();
    module_object = module.release();
    return Py_NewRef(module_object);
}
