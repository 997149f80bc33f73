// SPDX-License-Identifier: MIT
#include "array_series.hpp"

#include "../module/conversion.hpp"
#include "../module/py_ref.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>

namespace tarnwick::arrays {

namespace {

// A view of an exported buffer, released when it goes out of scope unless
// handed on.
class BufferView {
  public:
    explicit BufferView(PyObject* object) noexcept
        : held_(PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) == 0) {
        if (!held_) {
            PyErr_Clear();
        }
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (held_) {
            PyBuffer_Release(&view_);
        }
    }

    explicit operator bool() const noexcept { return held_; }
    const Py_buffer& operator*() const noexcept { return view_; }
    Py_buffer hand_on() noexcept {
        held_ = false;
        return view_;
    }

  private:
    Py_buffer view_{};
    bool held_;
};

// Whether float64 items lie row after row with no gap, aligned for double.
bool doubles_row_after_row(const Py_buffer& view, const Shape& shape) noexcept {
    const auto item = static_cast<Py_ssize_t>(sizeof(double));
    const Py_ssize_t column_stride = view.strides[view.ndim - 1];
    const bool columns_adjacent = shape.columns <= 1 || column_stride == item;
    const bool rows_adjacent = shape.rows <= 1 || view.ndim == 1 ||
                               view.strides[0] == static_cast<Py_ssize_t>(shape.columns) * item;
    return columns_adjacent && rows_adjacent &&
           reinterpret_cast<std::uintptr_t>(view.buf) % alignof(double) == 0;
}

FloatSeries convert_items(const Py_buffer& view, const Shape& shape, ItemReader reader) noexcept {
    FloatSeries series = FloatSeries::uninitialized(shape.rows * shape.columns);
    const Py_ssize_t row_stride = view.ndim == 1 ? 0 : view.strides[0];
    const Py_ssize_t column_stride = view.strides[view.ndim - 1];
    const char* base = static_cast<const char*>(view.buf);
    std::size_t at = 0;
    for (std::size_t r = 0; r < shape.rows; ++r) {
        const char* row = base + static_cast<Py_ssize_t>(r) * row_stride;
        for (std::size_t c = 0; c < shape.columns; ++c) {
            series[at++] = reader(row + static_cast<Py_ssize_t>(c) * column_stride);
        }
    }
    return series;
}

ArraySeries owned_series(FloatSeries values, const Shape& shape) noexcept {
    ArraySeries series(SeriesArgument(), shape);
    series.values().owned() = std::move(values);
    return series;
}

CallError changed_shape(std::string_view function, std::string_view parameter) noexcept {
    Text message = call_message(function);
    message += "'";
    message += parameter;
    message += "' changed shape while its rows were converted";
    return CallError::pending(PyExc_ValueError, std::move(message));
}

// A two-dimensional array whose dtype the buffer route does not read
// (float16, longdouble, object, ...): each row as tarnwick converts a series.
Extracted<ArraySeries> convert_rows(PyObject* object, Shape shape, std::string_view function,
                                    std::string_view parameter, InPlaceSeries& in_place) noexcept {
    in_place.before_python_code();
    FloatSeries values = FloatSeries::uninitialized(shape.rows * shape.columns);
    for (std::size_t r = 0; r < shape.rows; ++r) {
        const OwnedRef row =
            OwnedRef::steal(PySequence_GetItem(object, static_cast<Py_ssize_t>(r)));
        if (!row) {
            return argument_extraction_error(parameter, CallError::fetch());
        }
        Extracted<SeriesArgument> converted = extract_float_series(row.get(), parameter, in_place);
        if (auto* error = std::get_if<CallError>(&converted)) {
            return std::move(*error);
        }
        const std::span<const double> items = std::get<SeriesArgument>(converted).values();
        if (items.size() != shape.columns) {
            return changed_shape(function, parameter);
        }
        std::copy(items.begin(), items.end(), values.data() + r * shape.columns);
    }
    return owned_series(std::move(values), shape);
}

CallError too_many_dimensions(std::string_view function, std::string_view parameter,
                              int ndim) noexcept {
    Text message = call_message(function);
    message += "'";
    message += parameter;
    message += "' has ";
    append_decimal(message, static_cast<unsigned long long>(ndim));
    message += " dimensions; expected 1 (one series) or 2 (one series per row)";
    return CallError::pending(PyExc_ValueError, std::move(message));
}

Extracted<ArraySeries> as_one_series(Extracted<SeriesArgument> converted) noexcept {
    if (auto* error = std::get_if<CallError>(&converted)) {
        return std::move(*error);
    }
    SeriesArgument& series = std::get<SeriesArgument>(converted);
    const Shape shape{1, 1, series.values().size()};
    return ArraySeries(std::move(series), shape);
}

} // namespace

Shape shape_of(const Py_buffer& view) noexcept {
    if (view.ndim == 1) {
        return {1, 1, static_cast<std::size_t>(view.shape[0])};
    }
    return {2, static_cast<std::size_t>(view.shape[0]), static_cast<std::size_t>(view.shape[1])};
}

Text call_message(std::string_view function) {
    Text message(function);
    message += "(): ";
    return message;
}

void append_shape(Text& text, const Shape& shape) {
    text += '(';
    if (shape.ndim == 2) {
        append_decimal(text, shape.rows);
        text += ", ";
        append_decimal(text, shape.columns);
    } else {
        append_decimal(text, shape.columns);
        text += ',';
    }
    text += ')';
}

Extracted<ArraySeries> extract_array_series(PyObject* object, std::string_view function,
                                            std::string_view parameter, PyObject* ndarray,
                                            InPlaceSeries& in_place) noexcept {
    if (reinterpret_cast<PyObject*>(Py_TYPE(object)) != ndarray) {
        return as_one_series(extract_float_series(object, parameter, in_place));
    }
    // An exact ndarray exports its buffer without running any Python code.
    BufferView view(object);
    if (!view || (*view).ndim == 0) {
        // Dtypes with no buffer form and 0-d arrays fail as tarnwick fails them.
        return as_one_series(extract_float_series(object, parameter, in_place));
    }
    if ((*view).ndim > 2) {
        return too_many_dimensions(function, parameter, (*view).ndim);
    }
    const Shape shape = shape_of(*view);
    const ItemReader reader = native_item_reader(*view);
    if (reader == nullptr) {
        if (shape.ndim == 1) {
            return as_one_series(extract_float_series(object, parameter, in_place));
        }
        return convert_rows(object, shape, function, parameter, in_place);
    }
    if (reads_doubles(reader) && doubles_row_after_row(*view, shape)) {
        const auto* first = static_cast<const double*>((*view).buf);
        ArraySeries series(SeriesArgument(), shape);
        series.values().read_in_place(view.hand_on(), {first, shape.rows * shape.columns});
        return series;
    }
    return owned_series(convert_items(*view, shape, reader), shape);
}

} // namespace tarnwick::arrays
