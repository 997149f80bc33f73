// SPDX-License-Identifier: MIT
// The checks of a many-symbol call that do not depend on its indicator:
// shapes against the stream's symbols, where= and the result array.
#include "many_symbols.hpp"

#include "../binding/buffer_export.hpp"

#include <Python.h>

#include <string_view>
#include <utility>

namespace tarnwick::stream {

// The message for a series whose shape does not fit the stream's symbols.
CallError symbols_mismatch(const FunctionDescription& d, std::string_view parameter,
                           const Shape& shape, std::size_t symbols, bool rows) noexcept {
    Text message = arrays::call_message(d.function_name);
    message += '\'';
    message += parameter;
    message += "' has shape ";
    arrays::append_shape(message, shape);
    message += ", but the stream has ";
    append_count(message, symbols, "symbol", "symbols");
    message += rows ? ": pass one row per symbol" : ": pass one value per symbol";
    return value_error(std::move(message));
}

// A new float64 array of `shape`, made before any record is claimed.
CallStatus make_result(arrays::Destination& destination, PyObject* ndarray,
                       const FunctionDescription& d, const Shape& shape,
                       InPlaceSeries& in_place) noexcept {
    const arrays::NumpyState numpy{ndarray};
    return destination.prepare(numpy, d.function_name, nullptr, shape, {}, in_place);
}

namespace {

CallError where_not_boolean(const FunctionDescription& d, PyObject* where, bool is_array) noexcept {
    Text message = arrays::call_message(d.function_name);
    message += "'where' must be a boolean array, not ";
    const OwnedRef dtype =
        OwnedRef::steal(is_array ? PyObject_GetAttrString(where, "dtype") : nullptr);
    const OwnedRef name = OwnedRef::steal(dtype ? PyObject_Str(dtype.get()) : nullptr);
    const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
    PyErr_Clear();
    if (text != nullptr) {
        message += "an array of ";
        message += text;
    } else {
        message += '\'';
        message += type_qualname(reinterpret_cast<PyObject*>(Py_TYPE(where)));
        message += '\'';
    }
    message += ": give one, such as np.isfinite(close) or flags.astype(bool)";
    return CallError::pending(PyExc_TypeError, std::move(message));
}

// numpy's bool, as a buffer names it.
bool holds_booleans(const Py_buffer& view) noexcept {
    const char* format = view.format != nullptr ? view.format : "B";
    if (std::string_view("@=<>!|").find(format[0]) != std::string_view::npos) {
        ++format;
    }
    return view.itemsize == 1 && std::string_view(format) == "?";
}

} // namespace

// The flags of where=, a numpy array of dtype bool (a float's NaN, or any
// number, would be a guess at what the caller meant), copied into `flags` as
// 1.0 or 0.0; its shape, which the caller checks with the series'.
CallResult<Shape> read_where(const FunctionDescription& d, PyObject* where, PyObject* ndarray,
                             FloatSeries& flags, InPlaceSeries& in_place) noexcept {
    const bool is_array = PyObject_TypeCheck(where, reinterpret_cast<PyTypeObject*>(ndarray));
    if (is_array && Py_TYPE(where) != reinterpret_cast<PyTypeObject*>(ndarray)) {
        in_place.before_python_code(); // a subclass's export may run its code
    }
    BufferExport buffer;
    if (!is_array || !buffer.try_acquire(where, PyBUF_RECORDS_RO) ||
        !holds_booleans(buffer.view())) {
        return where_not_boolean(d, where, is_array);
    }
    const Py_buffer& view = buffer.view();
    if (view.ndim == 2) {
        return arrays::shape_of(view);
    }
    if (view.ndim != 1) {
        Text message = arrays::call_message(d.function_name);
        message += "'where' has ";
        append_count(message, static_cast<unsigned long long>(view.ndim), "dimension",
                     "dimensions");
        message += "; expected 1 (one flag per symbol)";
        return value_error(std::move(message));
    }
    const auto n = static_cast<std::size_t>(view.shape[0]);
    if (!flags.try_resize_uninitialized(n)) {
        return arrays::no_memory_for_copy(d.function_name);
    }
    const char* base = static_cast<const char*>(view.buf);
    for (std::size_t i = 0; i < n; ++i) {
        flags[i] = base[static_cast<Py_ssize_t>(i) * view.strides[0]] != 0 ? 1.0 : 0.0;
    }
    return arrays::shape_of(view);
}

} // namespace tarnwick::stream
