// How the engine's failures reach Python.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <exception>
#include <new>
#include <stdexcept>

#include "quarn/multi_window.hpp"

namespace quarn::engine {

namespace nb = nanobind;

// Creates DetectorError, the ValueError subclass of the engine, and adds it
// to the module.
void add_detector_error(nb::module_& module);

// Raises a core failure as DetectorError: the core's message as its text,
// and the attributes non_finite_index, window_size and series_index (each
// an int, or None when it does not apply).
[[noreturn]] void raise_detector_error(const DetectorError& error);

// Runs `body`, turning any C++ exception into a Python one: exhausted memory
// into MemoryError naming the size of the work (`values` values in
// `series` series), anything else into RuntimeError with its text. Python
// errors pass through.
template <class Body>
auto translate_failures(std::size_t values, std::size_t series, Body&& body) -> decltype(body());

[[noreturn]] void raise_out_of_memory(std::size_t values, std::size_t series);
[[noreturn]] void raise_runtime_error(const char* text);

template <class Body>
auto translate_failures(std::size_t values, std::size_t series, Body&& body) -> decltype(body()) {
    try {
        return body();
    } catch (const nb::python_error&) {
        throw;
    } catch (const nb::builtin_exception&) {
        throw;
    } catch (const std::bad_alloc&) {
        raise_out_of_memory(values, series);
    } catch (const std::length_error&) {
        raise_out_of_memory(values, series);
    } catch (const std::exception& error) {
        raise_runtime_error(error.what());
    }
}

}  // namespace quarn::engine
