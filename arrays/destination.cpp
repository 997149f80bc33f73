// SPDX-License-Identifier: MIT
#include "destination.hpp"

#include "../module/conversion.hpp"

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

bool is_float64(PyObject* array) noexcept {
    Py_buffer view;
    if (PyObject_GetBuffer(array, &view, PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();
        return false;
    }
    const bool doubles = reads_doubles(native_item_reader(view));
    PyBuffer_Release(&view);
    return doubles;
}

} // namespace

Destination::Destination(const ModuleState& state, std::string_view function, PyObject* out,
                         PyObject* first_series) noexcept
    : state_(state), function_(function), is_out_(out != nullptr) {
    if (is_out_) {
        take_out(out);
        return;
    }
    if (reinterpret_cast<PyObject*>(Py_TYPE(first_series)) != state.ndarray) {
        return;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(first_series, &view, PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();
        return;
    }
    const bool usable = view.ndim == 1 || view.ndim == 2;
    const Shape shape = usable ? shape_of(view) : Shape{};
    PyBuffer_Release(&view);
    if (usable) {
        create(shape);
    }
}

void Destination::take_out(PyObject* out) noexcept {
    if (!PyObject_TypeCheck(out, reinterpret_cast<PyTypeObject*>(state_.ndarray))) {
        Text problem = "must be a numpy.ndarray, not '";
        problem += type_qualname(reinterpret_cast<PyObject*>(Py_TYPE(out)));
        problem += '\'';
        error_ = out_error(PyExc_TypeError, function_, problem);
        return;
    }
    if (!is_float64(out)) {
        error_ =
            out_error(PyExc_ValueError, function_, "must have dtype float64 in native byte order");
        return;
    }
    if (PyObject_GetBuffer(out, &view_, PyBUF_RECORDS) < 0) {
        PyErr_Clear();
        error_ = out_error(PyExc_ValueError, function_, "must be writable");
        return;
    }
    viewing_ = true;
    array_ = OwnedRef::borrow(out);
}

void Destination::create(const Shape& shape) noexcept {
    const auto rows = static_cast<Py_ssize_t>(shape.rows);
    const auto columns = static_cast<Py_ssize_t>(shape.columns);
    const OwnedRef dimensions = OwnedRef::steal(
        shape.ndim == 2 ? Py_BuildValue("(nn)", rows, columns) : Py_BuildValue("(n)", columns));
    if (dimensions) {
        array_ =
            OwnedRef::steal(PyObject_CallFunctionObjArgs(state_.empty, dimensions.get(), nullptr));
    }
    if (!array_ || PyObject_GetBuffer(array_.get(), &view_, PyBUF_RECORDS) < 0) {
        array_ = OwnedRef();
        error_ = CallError::fetch();
        return;
    }
    viewing_ = true;
}

void Destination::release_view() noexcept {
    if (std::exchange(viewing_, false)) {
        PyBuffer_Release(&view_);
    }
}

bool Destination::overlaps(std::span<const std::span<const double>> inputs) const noexcept {
    // The lowest and one past the highest byte of the array, whatever its strides.
    auto low = reinterpret_cast<std::uintptr_t>(view_.buf);
    auto high = low + sizeof(double);
    for (int d = 0; d < view_.ndim; ++d) {
        if (view_.shape[d] == 0) {
            return false;
        }
        const Py_ssize_t reach = (view_.shape[d] - 1) * view_.strides[d];
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

std::optional<CallError> Destination::ready(const Shape& shape,
                                            std::span<const std::span<const double>> inputs,
                                            InPlaceSeries& in_place) noexcept {
    if (error_) {
        return std::exchange(error_, std::nullopt);
    }
    if (is_out_) {
        const bool same_shape = (view_.ndim == 1 || view_.ndim == 2) && shape_of(view_) == shape;
        if (!same_shape) {
            Text problem = "has ";
            if (view_.ndim == 1 || view_.ndim == 2) {
                problem += "shape ";
                append_shape(problem, shape_of(view_));
            } else {
                append_decimal(problem, static_cast<unsigned long long>(view_.ndim));
                problem += " dimensions";
            }
            problem += ", but the result has shape ";
            append_shape(problem, shape);
            return out_error(PyExc_ValueError, function_, problem);
        }
        if (overlaps(inputs)) {
            // Rows written early would change inputs read later.
            in_place.before_python_code();
        }
        return std::nullopt;
    }
    if (viewing_ && shape_of(view_) == shape) {
        return std::nullopt;
    }
    release_view();
    array_ = OwnedRef();
    in_place.before_python_code();
    create(shape);
    return error_ ? std::exchange(error_, std::nullopt) : std::nullopt;
}

RowOutput Destination::row(std::size_t r) const noexcept {
    if (!viewing_ || view_.ndim == 0) {
        return {nullptr, 0};
    }
    char* base = static_cast<char*>(view_.buf);
    const Py_ssize_t column_stride = view_.strides[view_.ndim - 1];
    if (view_.ndim == 2) {
        base += static_cast<Py_ssize_t>(r) * view_.strides[0];
    }
    return {base, column_stride};
}

PyObject* Destination::release() noexcept {
    release_view();
    return array_.release();
}

} // namespace tarnwick::arrays
