// SPDX-License-Identifier: MIT
#include "conversion.hpp"

#include "cached.hpp"
#include "fatal.hpp"
#include "py_ref.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>
#include <utility>

namespace tarnwick {

namespace {

// A length reported by __len__ is only a hint: trusting a huge or false one
// would reserve memory the iteration never fills, or abort the process.
constexpr Py_ssize_t max_untrusted_reservation = 4096;

bool is_str(PyObject* object) noexcept {
    return (PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_UNICODE_SUBCLASS) != 0;
}

// The general route: the object's own iteration, each item through float().
std::optional<CallError> read_by_iteration(PyObject* object, FloatSeries& series) noexcept {
    Py_ssize_t hint = PyObject_Size(object);
    if (hint < 0) {
        PyErr_Clear();
        hint = 0;
    }
    series.reserve(static_cast<std::size_t>(std::min(hint, max_untrusted_reservation)));
    const OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(object));
    if (!iterator) {
        return CallError::fetch();
    }
    while (const OwnedRef item = OwnedRef::steal(PyIter_Next(iterator.get()))) {
        const double value = PyFloat_AsDouble(item.get());
        if (value == -1.0 && PyErr_Occurred() != nullptr) {
            return CallError::fetch();
        }
        series.push_back(value);
    }
    if (PyErr_Occurred() != nullptr) {
        return CallError::fetch();
    }
    return std::nullopt;
}

// Exact lists and tuples, by index, as their iterators read them. An exact
// float or int converts without running any Python code; any other item may
// (its __float__ may grow or shrink the list), so it is held while it
// converts and the length is read again after it.
template <Py_ssize_t (*Size)(PyObject*), PyObject* (*GetItem)(PyObject*, Py_ssize_t)>
std::optional<CallError> read_by_index(PyObject* object, FloatSeries& series,
                                       InPlaceSeries& in_place) noexcept {
    Py_ssize_t size = Size(object);
    series.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* item = GetItem(object, i);
        if (PyFloat_CheckExact(item) || PyLong_CheckExact(item)) {
            const double value = PyFloat_AsDouble(item);
            if (value == -1.0 && PyErr_Occurred() != nullptr) {
                return CallError::fetch(); // an int too large for a double
            }
            series.push_back(value);
            continue;
        }
        in_place.before_python_code();
        const OwnedRef held = OwnedRef::borrow(item);
        const double value = PyFloat_AsDouble(item);
        if (value == -1.0 && PyErr_Occurred() != nullptr) {
            return CallError::fetch();
        }
        series.push_back(value);
        size = Size(object);
    }
    return std::nullopt;
}

// Types whose iteration yields, item by item, exactly the values of their
// one-dimensional buffer. They are recognised by identity, never by name: a
// type can call itself anything, and a subclass may iterate otherwise (a
// masked array yields a masked constant where its buffer holds a number).
// numpy.ndarray and array.array are the types that those modules, once
// imported by the caller, hold under those names; if the caller has not
// imported the module, none of its objects can be here.
struct ModuleType {
    const char* module;
    const char* name;
    // A static type lives as long as the process, so once found it is known
    // by address alone. A heap type (array.array from 3.12 on) may be freed
    // and its address reused, so it is looked up every time.
    std::atomic<PyTypeObject*> known{nullptr};
};

constinit ModuleType buffer_module_types[] = {{"numpy", "ndarray"}, {"array", "array"}};

// Whether `type` is the very type the module, if imported, holds as `name`.
bool is_module_type(PyTypeObject* type, ModuleType& candidate) noexcept {
    const OwnedRef module_name = OwnedRef::steal(PyUnicode_FromString(candidate.module));
    const OwnedRef module =
        OwnedRef::steal(module_name ? PyImport_GetModule(module_name.get()) : nullptr);
    const OwnedRef held =
        OwnedRef::steal(module ? PyObject_GetAttrString(module.get(), candidate.name) : nullptr);
    PyErr_Clear();
    if (held.get() != reinterpret_cast<PyObject*>(type)) {
        return false;
    }
    if ((PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE) == 0) {
        candidate.known.store(type, std::memory_order_relaxed);
    }
    return true;
}

bool iterates_as_its_buffer(PyTypeObject* type, InPlaceSeries& in_place) noexcept {
    if (type == &PyBytes_Type || type == &PyByteArray_Type || type == &PyMemoryView_Type) {
        return true;
    }
    for (ModuleType& candidate : buffer_module_types) {
        if (candidate.known.load(std::memory_order_relaxed) == type) {
            return true;
        }
    }
    // The module found in sys.modules may be anything the caller put there,
    // and looking an attribute up on it may run its code.
    in_place.before_python_code();
    for (ModuleType& candidate : buffer_module_types) {
        if (is_module_type(type, candidate)) {
            return true;
        }
    }
    return false;
}

template <class T> double item_as_double(const char* p) noexcept {
    if constexpr (std::is_same_v<T, bool>) {
        // Any non-zero byte iterates as True.
        unsigned char byte;
        std::memcpy(&byte, p, 1);
        return byte != 0 ? 1.0 : 0.0;
    } else {
        T value;
        std::memcpy(&value, p, sizeof value);
        return static_cast<double>(value);
    }
}

struct ItemFormat {
    char code;
    std::size_t size;
    ItemReader read;
};

template <class T> constexpr ItemFormat format_of(char code) noexcept {
    return {code, sizeof(T), &item_as_double<T>};
}

// Native struct codes whose items iterate as Python floats, ints or bools of
// the same value, so that each C conversion to double equals float(item).
constexpr ItemFormat item_formats[] = {
    format_of<double>('d'),        format_of<float>('f'),        format_of<signed char>('b'),
    format_of<unsigned char>('B'), format_of<short>('h'),        format_of<unsigned short>('H'),
    format_of<int>('i'),           format_of<unsigned int>('I'), format_of<long>('l'),
    format_of<unsigned long>('L'), format_of<long long>('q'),    format_of<unsigned long long>('Q'),
    format_of<Py_ssize_t>('n'),    format_of<std::size_t>('N'),  format_of<bool>('?'),
};

} // namespace

ItemReader native_item_reader(const Py_buffer& view) noexcept {
    const char* format = view.format != nullptr ? view.format : "B";
    if (format[0] == '@') {
        ++format;
    }
    if (format[0] == '\0' || format[1] != '\0') {
        return nullptr;
    }
    for (const ItemFormat& item : item_formats) {
        if (item.code == format[0] && static_cast<std::size_t>(view.itemsize) == item.size) {
            return item.read;
        }
    }
    return nullptr;
}

bool reads_doubles(ItemReader reader) noexcept {
    return reader == &item_as_double<double>;
}

namespace {

// Reads the values of a one-dimensional buffer of a known type into
// `argument`, or returns false if the object should take the general route
// (other dimensions and formats give the same errors or values there as
// iteration does). Native doubles are read in place, anything else is
// converted into the argument's own series.
bool read_buffer(PyObject* object, SeriesArgument& argument, InPlaceSeries& in_place) noexcept {
    if (!PyObject_CheckBuffer(object) || !iterates_as_its_buffer(Py_TYPE(object), in_place)) {
        return false;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(object, &view, PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();
        return false;
    }
    const ItemReader reader = view.ndim == 1 ? native_item_reader(view) : nullptr;
    if (reader == nullptr) {
        PyBuffer_Release(&view);
        return false;
    }
    const auto n = static_cast<std::size_t>(view.shape[0]);
    const Py_ssize_t stride = view.strides[0];
    const char* base = static_cast<const char*>(view.buf);
    const bool doubles_in_place = reads_doubles(reader) &&
                                  stride == static_cast<Py_ssize_t>(sizeof(double)) &&
                                  reinterpret_cast<std::uintptr_t>(base) % alignof(double) == 0;
    if (doubles_in_place) {
        argument.read_in_place(view, {reinterpret_cast<const double*>(base), n});
        return true;
    }
    FloatSeries& series = argument.owned();
    series = FloatSeries::uninitialized(n);
    for (std::size_t i = 0; i < n; ++i) {
        series[i] = reader(base + static_cast<Py_ssize_t>(i) * stride);
    }
    PyBuffer_Release(&view);
    return true;
}

} // namespace

std::optional<CallError> extract_float_series_into(SeriesArgument& argument, PyObject* object,
                                                   std::string_view parameter,
                                                   InPlaceSeries& in_place) noexcept {
    std::optional<CallError> error;
    if (is_str(object)) {
        error = CallError::pending(PyExc_TypeError, "Can't extract `str` to `Vec`");
    } else if (!PySequence_Check(object)) {
        in_place.before_python_code();
        const OwnedRef sequence = sequence_abc();
        error = sequence ? cast_error(object, sequence.get()) : CallError::fetch();
    } else if (PyList_CheckExact(object)) {
        error = read_by_index<PyList_Size, PyList_GetItem>(object, argument.owned(), in_place);
    } else if (PyTuple_CheckExact(object)) {
        error = read_by_index<PyTuple_Size, PyTuple_GetItem>(object, argument.owned(), in_place);
    } else if (!read_buffer(object, argument, in_place)) {
        in_place.before_python_code();
        error = read_by_iteration(object, argument.owned());
    }
    if (error) {
        return argument_extraction_error(parameter, std::move(*error));
    }
    return std::nullopt;
}

Extracted<SeriesArgument> extract_float_series(PyObject* object, std::string_view parameter,
                                               InPlaceSeries& in_place) noexcept {
    Extracted<SeriesArgument> result(std::in_place_index<0>);
    if (auto error = extract_float_series_into(std::get<0>(result), object, parameter, in_place)) {
        return std::move(*error);
    }
    return result;
}

Extracted<double> extract_float(PyObject* object, std::string_view parameter,
                                InPlaceSeries& in_place) noexcept {
    if (!PyFloat_CheckExact(object) && !PyLong_CheckExact(object)) {
        in_place.before_python_code();
    }
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred() != nullptr) {
        return argument_extraction_error(parameter, CallError::fetch());
    }
    return value;
}

Extracted<std::uint64_t> extract_index(PyObject* object, std::string_view parameter,
                                       InPlaceSeries& in_place) noexcept {
    if (!PyLong_CheckExact(object)) {
        in_place.before_python_code();
    }
    unsigned long long value = 0;
    if ((PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_LONG_SUBCLASS) != 0) {
        value = PyLong_AsUnsignedLongLong(object);
    } else {
        const OwnedRef index = OwnedRef::steal(PyNumber_Index(object));
        if (!index) {
            return argument_extraction_error(parameter, CallError::fetch());
        }
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    // All ones is also a valid count; only a pending exception makes it an error.
    if (value == ~0ULL && PyErr_Occurred() != nullptr) {
        return argument_extraction_error(parameter, CallError::fetch());
    }
    return std::uint64_t{value};
}

} // namespace tarnwick
