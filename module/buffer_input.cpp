// Sequences read straight from a one-dimensional numeric buffer.
//
// Iterating a numpy array creates one Python object per value; numpy arrays,
// array.array and memoryview objects export their memory instead, and the
// values are read from it directly. The route is taken only where it gives
// exactly what iteration and the item conversion would give. Everything
// else (other types and subclasses, other dimensions, other formats or byte
// orders, negative values for an unsigned sequence) is declined with 0 and
// left to the generic route, which then decides the values and the errors.

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>
#include <vector>

#include "arguments.hpp"

namespace quarn::py {

namespace {

// --- sources ------------------------------------------------------------

// True when `type` is the attribute `name` of the module `module`, provided
// that module is already imported; never imports it.
bool is_class_of_loaded_module(PyTypeObject* type, const char* module, const char* name) {
    PyObject* modules = PyImport_GetModuleDict();
    if (!PyDict_Check(modules)) return false;
    PyObject* loaded = PyDict_GetItemString(modules, module);
    if (loaded == nullptr || !PyModule_Check(loaded)) return false;
    PyObject* attributes = PyModule_GetDict(loaded);
    if (attributes == nullptr) {
        PyErr_Clear();
        return false;
    }
    return PyDict_GetItemString(attributes, name) == reinterpret_cast<PyObject*>(type);
}

enum class Source { memoryview, other };

// The exact types whose iteration the buffer route reproduces; subclasses
// may iterate in their own way and are excluded.
std::optional<Source> buffer_source(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    if (type == &PyMemoryView_Type) return Source::memoryview;
    if (std::strcmp(type->tp_name, "numpy.ndarray") == 0 &&
        is_class_of_loaded_module(type, "numpy", "ndarray")) {
        return Source::other;
    }
    if (std::strcmp(type->tp_name, "array.array") == 0 &&
        is_class_of_loaded_module(type, "array", "array")) {
        return Source::other;
    }
    return std::nullopt;
}

// --- buffers ------------------------------------------------------------

// A strided buffer export, released when the guard goes out of scope.
class BufferGuard {
public:
    BufferGuard() = default;
    BufferGuard(const BufferGuard&) = delete;
    BufferGuard& operator=(const BufferGuard&) = delete;
    ~BufferGuard() {
        if (held_) PyBuffer_Release(&view_);
    }

    // False, with no exception left set, when the object exports no such
    // buffer; iteration then decides what the object is.
    bool acquire(PyObject* object) {
        if (PyObject_GetBuffer(object, &view_, PyBUF_STRIDES | PyBUF_FORMAT) < 0) {
            PyErr_Clear();
            return false;
        }
        held_ = true;
        return true;
    }

    const Py_buffer& view() const { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// --- element formats ----------------------------------------------------

enum class Element { int8, int16, int32, int64, uint8, uint16, uint32, uint64, float32, float64 };

// Byte-order marks that keep the machine's own order. '@' and no mark mean
// native size and alignment; the others mean standard sizes, which the
// item size reports. memoryview iterates only the native forms.
bool native_order_mark(char mark, Source source) {
    if (mark == '@') return true;
    if (source == Source::memoryview) return false;
    if (mark == '=') return true;
    if constexpr (std::endian::native == std::endian::little) return mark == '<';
    return mark == '>' || mark == '!';
}

std::optional<Element> integer_of_size(Py_ssize_t size, bool is_signed) {
    switch (size) {
        case 1: return is_signed ? Element::int8 : Element::uint8;
        case 2: return is_signed ? Element::int16 : Element::uint16;
        case 4: return is_signed ? Element::int32 : Element::uint32;
        case 8: return is_signed ? Element::int64 : Element::uint64;
        default: return std::nullopt;
    }
}

// The element of a one-type-code format such as "d", "@q" or "<i", or
// nothing for every other format (booleans, half floats, complex, objects,
// structures, foreign byte order, repeat counts).
std::optional<Element> element_of(const Py_buffer& view, Source source) {
    const char* format = view.format == nullptr ? "B" : view.format;
    if (format[0] != '\0' && std::strchr("@=<>!", format[0]) != nullptr) {
        if (!native_order_mark(format[0], source)) return std::nullopt;
        ++format;
    }
    if (format[0] == '\0' || format[1] != '\0') return std::nullopt;
    switch (format[0]) {
        case 'b': case 'h': case 'i': case 'l': case 'q': case 'n':
            return integer_of_size(view.itemsize, true);
        case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N':
            return integer_of_size(view.itemsize, false);
        case 'f':
            if (view.itemsize == 4) return Element::float32;
            return std::nullopt;
        case 'd':
            if (view.itemsize == 8) return Element::float64;
            return std::nullopt;
        default:
            return std::nullopt;
    }
}

// --- reading ------------------------------------------------------------

// Calls `visit(value)` for every element in index order, the value read as
// `T`; stops at the first visit that returns false. Items may be unaligned
// and the stride negative.
template <class T, class Visit>
bool visit_as(const Py_buffer& view, Visit& visit) {
    const char* base = static_cast<const char*>(view.buf);
    const Py_ssize_t length = view.shape[0];
    const Py_ssize_t stride = view.strides[0];
    for (Py_ssize_t i = 0; i < length; ++i) {
        T value;
        std::memcpy(&value, base + i * stride, sizeof value);
        if (!visit(value)) return false;
    }
    return true;
}

// As visit_as, with the C type of the buffer's element.
template <class Visit>
bool visit_elements(const Py_buffer& view, Element element, Visit visit) {
    switch (element) {
        case Element::int8: return visit_as<std::int8_t>(view, visit);
        case Element::int16: return visit_as<std::int16_t>(view, visit);
        case Element::int32: return visit_as<std::int32_t>(view, visit);
        case Element::int64: return visit_as<std::int64_t>(view, visit);
        case Element::uint8: return visit_as<std::uint8_t>(view, visit);
        case Element::uint16: return visit_as<std::uint16_t>(view, visit);
        case Element::uint32: return visit_as<std::uint32_t>(view, visit);
        case Element::uint64: return visit_as<std::uint64_t>(view, visit);
        case Element::float32: return visit_as<float>(view, visit);
        case Element::float64: return visit_as<double>(view, visit);
    }
    return false;
}

bool is_float(Element element) {
    return element == Element::float32 || element == Element::float64;
}

// The exported one-dimensional buffer of an object that takes the route,
// with its element type; nothing when the route does not apply.
std::optional<Element> acquire_vector(PyObject* object, BufferGuard& buffer) {
    const std::optional<Source> source = buffer_source(object);
    if (!source || !buffer.acquire(object)) return std::nullopt;
    if (buffer.view().ndim != 1) return std::nullopt;
    return element_of(buffer.view(), *source);
}

}  // namespace

// Integers convert to the nearest double, ties to even, as the interpreter
// converts an int (and numpy an integer scalar); float32 widens exactly.
int float_sequence_from_buffer(PyObject* object, std::vector<double>& out) {
    BufferGuard buffer;
    const std::optional<Element> element = acquire_vector(object, buffer);
    if (!element) return 0;
    out.clear();
    out.reserve(static_cast<std::size_t>(buffer.view().shape[0]));
    visit_elements(buffer.view(), *element, [&](auto value) {
        out.push_back(static_cast<double>(value));
        return true;
    });
    return 1;
}

// Floats never convert (they have no __index__) and negative values fail;
// both are declined, so the generic route raises its own error for them.
int unsigned_sequence_from_buffer(PyObject* object, std::vector<std::uint64_t>& out) {
    BufferGuard buffer;
    const std::optional<Element> element = acquire_vector(object, buffer);
    if (!element || is_float(*element)) return 0;
    out.clear();
    out.reserve(static_cast<std::size_t>(buffer.view().shape[0]));
    const bool all_converted = visit_elements(buffer.view(), *element, [&](auto value) {
        if constexpr (std::is_signed_v<decltype(value)>) {
            if (value < 0) return false;
        }
        out.push_back(static_cast<std::uint64_t>(value));
        return true;
    });
    if (all_converted) return 1;
    out.clear();
    return 0;
}

}  // namespace quarn::py
