// Owned references to Python objects.
//
// `Ref` owns one strong reference and releases it when it goes out of scope,
// so every early return of a handler is leak-free. Raw Py_DECREF appears only
// here. Construct with Ref::steal (a new reference handed over) or
// Ref::borrow (a borrowed reference, incremented); release() hands the
// reference to an API that steals it.
#pragma once

#include <Python.h>

#include <utility>

namespace quarn::py {

class Ref {
public:
    Ref() = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    ~Ref() { reset(); }

    // Takes over a new reference (may be NULL after a failed API call).
    static Ref steal(PyObject* object) { return Ref(object); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* object) {
        Py_XINCREF(object);
        return Ref(object);
    }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Gives up ownership without releasing.
    PyObject* release() { return std::exchange(object_, nullptr); }
    void reset() { Py_CLEAR(object_); }

private:
    explicit Ref(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace quarn::py
