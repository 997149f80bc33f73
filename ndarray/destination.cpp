// SPDX-License-Identifier: MIT
#include "destination.hpp"

#include "../binding/conversion.hpp"

#include <cstdint>
#include <utility>

namespace tarnwick::arrays {

namespace {

CallError out_error(PyObject* type, std::string_view function, std::string_view problem) noexcept {
    Text message = call_message(function);
    message += "out ";
    message += problem;
    return CallError::pending(type, std::move(message));
}

CallError wrong_dtype(std::string_view function) noexcept {
    return out_error(PyExc_ValueError, function, "must have dtype float64 in native byte order");
}

// Native float64 items, at any alignment: each value is stored with a copy
// of its bytes (row_output.hpp).
bool holds_doubles(const Py_buffer& view) noexcept {
    return reads_doubles(item_reader(view, ByteOrders::any));
}

bool usable_shape(const Py_buffer& view, const Shape& shape) noexcept {
    return (view.ndim == 1 || view.ndim == 2) && shape_of(view) == shape;
}

// The one C-contiguous layout of `shape`, as a new array must have it.
bool c_contiguous(const Py_buffer& view, const Shape& shape) noexcept {
    const auto item = static_cast<Py_ssize_t>(sizeof(double));
    const bool rows = view.ndim == 1 || shape.rows <= 1 ||
                      view.strides[0] == static_cast<Py_ssize_t>(shape.columns) * item;
    const bool columns = shape.columns <= 1 || view.strides[view.ndim - 1] == item;
    return rows && columns && reinterpret_cast<std::uintptr_t>(view.buf) % alignof(double) == 0;
}

} // namespace

CallStatus Destination::prepare(const NumpyState& numpy, std::string_view function, PyObject* out,
                                const Shape& shape, std::span<const std::span<const double>> inputs,
                                InPlaceSeries& in_place, std::size_t fields) noexcept {
    fields_ = fields;
    if (out == nullptr) {
        return create(numpy, function, shape);
    }
    if (CallStatus status = take_out(numpy, function, out, shape, in_place); status.failed()) {
        return status;
    }
    if (overlaps(inputs)) {
        // Rows written early would change inputs read later.
        in_place.before_python_code();
    }
    return CallStatus::ok();
}

CallStatus Destination::take_out(const NumpyState& numpy, std::string_view function, PyObject* out,
                                 const Shape& shape, InPlaceSeries& in_place) noexcept {
    auto* ndarray = reinterpret_cast<PyTypeObject*>(numpy.ndarray);
    if (!PyObject_TypeCheck(out, ndarray)) {
        Text problem = "must be a numpy.ndarray, not '";
        problem += type_qualname(reinterpret_cast<PyObject*>(Py_TYPE(out)));
        problem += '\'';
        return out_error(PyExc_TypeError, function, problem);
    }
    if (Py_TYPE(out) != ndarray) {
        // A subclass's export may run its own code.
        in_place.before_python_code();
    }
    if (!buffer_.try_acquire(out, PyBUF_RECORDS)) {
        // Not writable, or not float64 at all: a read-only export says which.
        BufferExport read_only;
        const bool doubles =
            read_only.try_acquire(out, PyBUF_RECORDS_RO) && holds_doubles(read_only.view());
        return doubles ? out_error(PyExc_ValueError, function, "must be writable")
                       : wrong_dtype(function);
    }
    const Py_buffer& view = buffer_.view();
    if (!holds_doubles(view)) {
        buffer_.release();
        return wrong_dtype(function);
    }
    if (!usable_shape(view, shape)) {
        Text problem = "has ";
        if (view.ndim == 1 || view.ndim == 2) {
            problem += "shape ";
            append_shape(problem, shape_of(view));
        } else {
            append_decimal(problem, static_cast<unsigned long long>(view.ndim));
            problem += " dimensions";
        }
        problem += ", but the result has shape ";
        append_shape(problem, shape);
        buffer_.release();
        return out_error(PyExc_ValueError, function, problem);
    }
    array_ = OwnedRef::borrow(out);
    return CallStatus::ok();
}

CallStatus Destination::create(const NumpyState& numpy, std::string_view function,
                               const Shape& shape) noexcept {
    const auto rows = static_cast<Py_ssize_t>(shape.rows);
    const auto columns = static_cast<Py_ssize_t>(shape.columns);
    // numpy's own type makes the array (a static type, checked at import:
    // no Python code of anyone's runs in it), and the collector is held off
    // meanwhile, so no finalizer can touch the inputs read in place.
    const int collector_was_enabled = PyGC_Disable();
    const auto fields = static_cast<Py_ssize_t>(fields_);
    const OwnedRef dimensions = OwnedRef::steal(
        fields_ > 1       ? (shape.ndim == 2 ? Py_BuildValue("(nnn)", fields, rows, columns)
                                             : Py_BuildValue("(nn)", fields, columns))
        : shape.ndim == 2 ? Py_BuildValue("(nn)", rows, columns)
                          : Py_BuildValue("(n)", columns));
    if (dimensions) {
        array_ =
            OwnedRef::steal(PyObject_CallFunctionObjArgs(numpy.ndarray, dimensions.get(), nullptr));
    }
    const bool exported = array_ && buffer_.acquire(array_.get(), PyBUF_RECORDS);
    if (collector_was_enabled) {
        PyGC_Enable();
    }
    if (!exported) {
        array_ = OwnedRef();
        return CallError::fetch();
    }
    // Whatever made it, the kernel writes only an array it has checked.
    const Py_buffer& whole = buffer_.view();
    // A stack of results is checked as its first, and as a stack of them.
    Py_buffer view = whole;
    bool stacked = true;
    if (fields_ > 1) {
        stacked = whole.ndim == shape.ndim + 1 && whole.shape[0] == fields &&
                  whole.strides[0] ==
                      static_cast<Py_ssize_t>(shape.rows * shape.columns * sizeof(double));
        view.ndim = whole.ndim - 1;
        view.shape = whole.shape + 1;
        view.strides = whole.strides + 1;
    }
    if (!stacked || !holds_doubles(view) || !usable_shape(view, shape) ||
        !c_contiguous(view, shape)) {
        buffer_.release();
        array_ = OwnedRef();
        Text message = call_message(function);
        message += "numpy.ndarray made a result that is not a C-contiguous float64 array";
        return CallError::pending(PyExc_SystemError, std::move(message));
    }
    return CallStatus::ok();
}

bool Destination::overlaps(std::span<const std::span<const double>> inputs) const noexcept {
    // The lowest and one past the highest byte of the array, whatever its strides.
    const Py_buffer& view = buffer_.view();
    auto low = reinterpret_cast<std::uintptr_t>(view.buf);
    auto high = low + sizeof(double);
    for (int d = 0; d < view.ndim; ++d) {
        if (view.shape[d] == 0) {
            return false;
        }
        const Py_ssize_t reach = (view.shape[d] - 1) * view.strides[d];
        if (reach < 0) {
            low -= static_cast<std::uintptr_t>(-reach);
        } else {
            high += static_cast<std::uintptr_t>(reach);
        }
    }
    for (const std::span<const double> input : inputs) {
        const auto first = reinterpret_cast<std::uintptr_t>(input.data());
        if (!input.empty() && first < high && low < first + input.size_bytes()) {
            return true;
        }
    }
    return false;
}

RowOutput Destination::row(std::size_t r) const noexcept {
    const Py_buffer& view = buffer_.view();
    char* base = static_cast<char*>(view.buf);
    const Py_ssize_t column_stride = view.strides[view.ndim - 1];
    const int row_axis = fields_ > 1 ? 1 : 0;
    if (view.ndim == row_axis + 2) {
        base += static_cast<Py_ssize_t>(r) * view.strides[row_axis];
    }
    return {base, column_stride, fields_ > 1 ? view.strides[0] : 0};
}

PyObject* Destination::release() noexcept {
    buffer_.release();
    return array_.release();
}

} // namespace tarnwick::arrays
