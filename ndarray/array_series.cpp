// SPDX-License-Identifier: MIT
#include "array_series.hpp"

#include "../binding/conversion.hpp"
#include "../binding/py_ref.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <utility>

namespace tarnwick::arrays {

namespace {

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

// "name(): 'parameter'", the start of a message about one argument.
Text about_parameter(std::string_view function, std::string_view parameter) {
    Text message = call_message(function);
    message += "'";
    message += parameter;
    message += "'";
    return message;
}

CallError no_memory(std::string_view function, std::string_view parameter,
                    std::size_t values) noexcept {
    Text message = call_message(function);
    message += "cannot allocate ";
    append_count(message, values, "double", "doubles");
    message += " for the values of '";
    message += parameter;
    message += '\'';
    return CallError::pending(PyExc_MemoryError, std::move(message));
}

// Room for the values of `shape` in the series' own storage.
CallStatus make_room(FloatSeries& values, const Shape& shape, std::string_view function,
                     std::string_view parameter) noexcept {
    const std::size_t n = shape.rows * shape.columns;
    const bool overflows = shape.columns != 0 && n / shape.columns != shape.rows;
    if (overflows || !values.try_resize_uninitialized(n)) {
        return no_memory(function, parameter, n);
    }
    return CallStatus::ok();
}

void convert_items(const Py_buffer& view, const Shape& shape, ItemReader reader,
                   FloatSeries& series) noexcept {
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
}

CallError changed_shape(std::string_view function, std::string_view parameter) noexcept {
    Text message = about_parameter(function, parameter);
    message += " changed shape while its rows were converted";
    return CallError::pending(PyExc_ValueError, std::move(message));
}

// Each row of a two-dimensional array as tarnwick converts a series: for
// dtypes the buffer route does not read (float16, longdouble in a foreign
// byte order, object, ...) and masked arrays, whose rows iterate a masked
// item as NaN.
CallStatus convert_rows(ArraySeries& series, PyObject* object, Shape shape,
                        std::string_view function, std::string_view parameter,
                        InPlaceSeries& in_place) noexcept {
    in_place.before_python_code();
    FloatSeries& values = series.values().owned();
    if (CallStatus status = make_room(values, shape, function, parameter); status.failed()) {
        return status;
    }
    for (std::size_t r = 0; r < shape.rows; ++r) {
        const OwnedRef row =
            OwnedRef::steal(PySequence_GetItem(object, static_cast<Py_ssize_t>(r)));
        if (!row) {
            return argument_extraction_error(parameter, CallError::fetch());
        }
        SeriesArgument converted;
        if (CallStatus status =
                extract_float_series_into(converted, row.get(), parameter, in_place);
            status.failed()) {
            return status;
        }
        const std::span<const double> items = converted.values();
        if (items.size() != shape.columns) {
            return changed_shape(function, parameter);
        }
        std::copy(items.begin(), items.end(), values.data() + r * shape.columns);
    }
    series.set_shape(shape);
    return CallStatus::ok();
}

CallError too_many_dimensions(std::string_view function, std::string_view parameter,
                              long long ndim) noexcept {
    Text message = about_parameter(function, parameter);
    message += " has ";
    append_decimal(message, static_cast<unsigned long long>(ndim));
    message += " dimensions; expected 1 (one series) or 2 (one series per row)";
    return CallError::pending(PyExc_ValueError, std::move(message));
}

// As tarnwick converts a series: one row.
CallStatus convert_as_one_series(ArraySeries& series, PyObject* object, std::string_view parameter,
                                 InPlaceSeries& in_place) noexcept {
    if (CallStatus status = extract_float_series_into(series.values(), object, parameter, in_place);
        status.failed()) {
        return status;
    }
    series.set_shape({1, 1, series.values().values().size()});
    return CallStatus::ok();
}

// The type `name` of module `module` if the caller has imported it (it is
// not imported here), as a new reference; null otherwise. May run code.
OwnedRef imported_type(const char* module, const char* name) noexcept {
    const OwnedRef module_name = OwnedRef::steal(PyUnicode_FromString(module));
    const OwnedRef held =
        OwnedRef::steal(module_name ? PyImport_GetModule(module_name.get()) : nullptr);
    OwnedRef type = OwnedRef::steal(held ? PyObject_GetAttrString(held.get(), name) : nullptr);
    PyErr_Clear();
    return type && PyType_Check(type.get()) ? std::move(type) : OwnedRef();
}

bool is_instance_of_imported(PyObject* object, const char* module, const char* name) noexcept {
    const OwnedRef type = imported_type(module, name);
    if (!type) {
        return false;
    }
    const int is = PyObject_IsInstance(object, type.get());
    PyErr_Clear();
    return is == 1;
}

// A frame iterates over its column labels (pandas) or its columns (polars),
// so read as a sequence it would give numbers unrelated to its values.
CallStatus refuse_frame(PyObject* object, std::string_view function, std::string_view parameter,
                        InPlaceSeries& in_place) noexcept {
    in_place.before_python_code();
    const char* library = is_instance_of_imported(object, "pandas", "DataFrame")   ? "pandas"
                          : is_instance_of_imported(object, "polars", "DataFrame") ? "polars"
                                                                                   : nullptr;
    if (library == nullptr) {
        return CallStatus::ok();
    }
    Text message = about_parameter(function, parameter);
    message += " is a ";
    message += library;
    message += " DataFrame; pass one of its columns as a series, or frame.to_numpy().T for one "
               "series per row";
    return CallError::pending(PyExc_TypeError, std::move(message));
}

// The shape an array reports through its attributes, for arrays whose
// buffer cannot be exported; `ndim` is set to its number of dimensions, or
// -1 if it reports none. A shape only for one or two dimensions.
std::optional<Shape> reported_shape(PyObject* array, long long& ndim) noexcept {
    const OwnedRef shape = OwnedRef::steal(PyObject_GetAttrString(array, "shape"));
    ndim = shape && PyTuple_Check(shape.get()) ? PyTuple_Size(shape.get()) : -1;
    std::size_t sizes[2] = {0, 0};
    for (long long d = 0; d < ndim && d < 2; ++d) {
        const Py_ssize_t size = PyLong_AsSsize_t(PyTuple_GetItem(shape.get(), d));
        if (size < 0) {
            ndim = -1;
            break;
        }
        sizes[d] = static_cast<std::size_t>(size);
    }
    PyErr_Clear();
    if (ndim == 2) {
        return Shape{2, sizes[0], sizes[1]};
    }
    if (ndim == 1) {
        return Shape{1, 1, sizes[0]};
    }
    return std::nullopt;
}

// An array whose every row converts as tarnwick converts a series, by the
// shape it reports.
CallStatus convert_reported_rows(ArraySeries& series, PyObject* object, std::string_view function,
                                 std::string_view parameter, InPlaceSeries& in_place) noexcept {
    in_place.before_python_code();
    long long ndim = 0;
    const std::optional<Shape> shape = reported_shape(object, ndim);
    if (ndim > 2) {
        return too_many_dimensions(function, parameter, ndim);
    }
    if (shape && shape->ndim == 2) {
        return convert_rows(series, object, *shape, function, parameter, in_place);
    }
    return convert_as_one_series(series, object, parameter, in_place);
}

CallError not_pieces(std::string_view function, std::string_view parameter) noexcept {
    Text message = about_parameter(function, parameter);
    message += " must be given in pieces of float64 arrays of one dimension, rows of one length";
    return CallError::pending(PyExc_TypeError, std::move(message));
}

// tarnwick_frames' pieces of one series argument (a tuple of arrays), each
// read in place; joined unless the call reads them as they are.
CallStatus convert_pieces(ArraySeries& series, PyObject* object, bool rows,
                          std::string_view function, std::string_view parameter, PyObject* ndarray,
                          bool in_place) noexcept {
    const auto count = static_cast<std::size_t>(PyTuple_Size(object));
    Pieces& pieces = series.pieces();
    if (!pieces.make_room(count)) {
        return no_memory(function, parameter, count);
    }
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* piece = PyTuple_GetItem(object, static_cast<Py_ssize_t>(i));
        if (!pieces.take(i, piece, ndarray) || (rows && pieces[i].size() != pieces[0].size())) {
            pieces.release();
            return not_pieces(function, parameter);
        }
    }
    const std::size_t length = pieces.length();
    series.set_shape(rows ? Shape{2, count, count == 0 ? 0 : length / count} : Shape{1, 1, length});
    if (count == 0 || !in_place) {
        if (!series.join()) {
            return no_memory(function, parameter, length);
        }
        return CallStatus::ok();
    }
    return pieces.guard(ndarray);
}

} // namespace

bool Pieces::make_room(std::size_t count) noexcept {
    release();
    if (count == 0) {
        return true;
    }
    exports_ = static_cast<BufferExport*>(std::calloc(count, sizeof(BufferExport)));
    spans_ = static_cast<std::span<const double>*>(std::calloc(count, sizeof(*spans_)));
    starts_ = static_cast<const double**>(std::calloc(count, sizeof(*starts_)));
    if (exports_ == nullptr || spans_ == nullptr || starts_ == nullptr) {
        release(); // frees what was had, with no export made yet (count_ is 0)
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) {
        new (exports_ + i) BufferExport();
        new (spans_ + i) std::span<const double>();
    }
    count_ = count;
    return true;
}

bool Pieces::take(std::size_t i, PyObject* piece, PyObject* ndarray) noexcept {
    if (reinterpret_cast<PyObject*>(Py_TYPE(piece)) != ndarray ||
        !exports_[i].try_acquire(piece, PyBUF_RECORDS_RO)) {
        return false;
    }
    const Py_buffer& view = exports_[i].view();
    if (view.ndim != 1 || !reads_doubles(item_reader(view, ByteOrders::native)) ||
        !doubles_row_after_row(view, shape_of(view))) {
        return false;
    }
    spans_[i] = {static_cast<const double*>(view.buf), static_cast<std::size_t>(view.shape[0])};
    starts_[i] = spans_[i].data();
    length_ += spans_[i].size();
    return true;
}

CallStatus Pieces::guard(PyObject* ndarray) noexcept {
    constexpr std::size_t capacity = ResizeGuard::capacity;
    const std::size_t guards = (count_ + capacity - 1) / capacity;
    guards_ = static_cast<ResizeGuard*>(std::calloc(guards, sizeof(ResizeGuard)));
    if (guards_ == nullptr && guards != 0) {
        return CallError::pending(PyExc_MemoryError, Text("cannot allocate the pieces' guards"));
    }
    for (; guard_count_ < guards; ++guard_count_) {
        new (guards_ + guard_count_) ResizeGuard();
        PyObject* exporters[capacity] = {};
        for (std::size_t i = 0; i < capacity && guard_count_ * capacity + i < count_; ++i) {
            exporters[i] = exports_[guard_count_ * capacity + i].view().obj;
        }
        if (CallStatus held = guards_[guard_count_].hold(exporters, ndarray); held.failed()) {
            ++guard_count_; // made: ended by release()
            return held;
        }
    }
    return CallStatus::ok();
}

void Pieces::release() noexcept {
    for (std::size_t g = 0; g < guard_count_; ++g) {
        guards_[g].~ResizeGuard();
    }
    std::free(guards_);
    guards_ = nullptr;
    guard_count_ = 0;
    for (std::size_t i = 0; i < count_; ++i) {
        exports_[i].~BufferExport();
    }
    std::free(exports_);
    std::free(spans_);
    std::free(starts_);
    exports_ = nullptr;
    spans_ = nullptr;
    starts_ = nullptr;
    count_ = 0;
    length_ = 0;
}

bool ArraySeries::join() noexcept {
    FloatSeries& values = values_.owned();
    if (!values.try_resize_uninitialized(pieces_.length())) {
        return false;
    }
    std::size_t at = 0;
    for (std::size_t i = 0; i < pieces_.count(); ++i) {
        const std::span<const double> piece = pieces_[i];
        if (!piece.empty()) {
            std::memcpy(values.data() + at, piece.data(), piece.size_bytes());
        }
        at += piece.size();
    }
    pieces_.release();
    return true;
}

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

CallStatus extract_array_series_into(ArraySeries& series, PyObject* object,
                                     std::string_view function, std::string_view parameter,
                                     PyObject* ndarray, InPlaceSeries& in_place,
                                     PiecesInPlace pieces) noexcept {
    const bool exact = reinterpret_cast<PyObject*>(Py_TYPE(object)) == ndarray;
    if (!exact && !PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(ndarray))) {
        if (!PyList_CheckExact(object) && !PyTuple_CheckExact(object)) {
            for (const bool rows : {true, false}) {
                if (PyTuple_Check(object) &&
                    imported_type("tarnwick_frames", rows ? "_Rows" : "_Chunks").get() ==
                        reinterpret_cast<PyObject*>(Py_TYPE(object))) {
                    return convert_pieces(series, object, rows, function, parameter, ndarray,
                                          rows ? pieces.rows : pieces.chunks);
                }
            }
            if (CallStatus status = refuse_frame(object, function, parameter, in_place);
                status.failed()) {
                return status;
            }
        }
        return convert_as_one_series(series, object, parameter, in_place);
    }
    // An exact ndarray exports its buffer without running any Python code; a
    // subclass may run its own (__buffer__, __array_finalize__, ...).
    if (!exact) {
        in_place.before_python_code();
        if (is_instance_of_imported(object, "numpy.ma", "MaskedArray")) {
            return convert_reported_rows(series, object, function, parameter, in_place);
        }
    }
    BufferExport& buffer = series.values().buffer();
    if (!buffer.try_acquire(object, PyBUF_RECORDS_RO)) {
        // A dtype with no buffer form: its rows still convert one by one.
        return convert_reported_rows(series, object, function, parameter, in_place);
    }
    const Py_buffer& view = buffer.view();
    if (view.ndim == 0) {
        // Fails as tarnwick fails a 0-d array.
        buffer.release();
        return convert_as_one_series(series, object, parameter, in_place);
    }
    if (view.ndim > 2) {
        return too_many_dimensions(function, parameter, view.ndim);
    }
    const Shape shape = shape_of(view);
    const ItemReader reader = item_reader(view, ByteOrders::any);
    if (reader == nullptr) {
        buffer.release();
        if (shape.ndim == 1) {
            return convert_as_one_series(series, object, parameter, in_place);
        }
        return convert_rows(series, object, shape, function, parameter, in_place);
    }
    series.set_shape(shape);
    if (reads_doubles(reader) && doubles_row_after_row(view, shape)) {
        series.values().read_in_place(
            {static_cast<const double*>(view.buf), shape.rows * shape.columns});
        return CallStatus::ok();
    }
    FloatSeries& values = series.values().owned();
    if (CallStatus status = make_room(values, shape, function, parameter); status.failed()) {
        return status;
    }
    convert_items(view, shape, reader, values);
    buffer.release();
    return CallStatus::ok();
}

} // namespace tarnwick::arrays
