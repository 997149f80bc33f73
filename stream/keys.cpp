// SPDX-License-Identifier: MIT
// Keys of symbols and of rows: any column of them is read as a list of
// Python objects by its library's own conversion (Arrow's to_pylist,
// polars' to_list, numpy's and pandas' tolist), then looked up once a row
// in the dict the stream made of its keys. A column of str or integer keys
// with no nulls (numpy, pandas, polars, Arrow) is read in place instead,
// and grouped by key first: a call of many rows makes one Python object,
// and one lookup, per distinct key, not per row.
#include "keys.hpp"

#include "../binding/buffer_export.hpp"
#include "../binding/text.hpp"
#include "../ndarray/array_series.hpp"
#include "../ndarray/key_column.hpp"
#include "object.hpp"

#include <Python.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace tarnwick::stream {

namespace {

// A column of keys as a list.
OwnedRef key_list(PyObject* column) noexcept {
    if (PyList_Check(column) || PyTuple_Check(column)) {
        return OwnedRef::steal(PySequence_List(column));
    }
    for (const char* name : {"to_pylist", "to_list", "tolist"}) {
        if (PyObject_HasAttrString(column, name) != 0) {
            const OwnedRef made = OwnedRef::steal(PyObject_CallMethod(column, name, nullptr));
            if (!made || PyList_CheckExact(made.get())) {
                return OwnedRef::borrow(made.get());
            }
            return OwnedRef::steal(PySequence_List(made.get()));
        }
    }
    return OwnedRef::steal(PySequence_List(column));
}

// None, or NaN as pandas and numpy give a missing key.
bool is_null(PyObject* key) noexcept {
    return key == Py_None || (PyFloat_Check(key) && std::isnan(PyFloat_AsDouble(key)));
}

Text repr_of(PyObject* o) noexcept {
    const OwnedRef text = OwnedRef::steal(PyObject_Repr(o));
    const char* chars = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
    PyErr_Clear();
    return Text(chars != nullptr ? chars : "?");
}

CallError unknown_key(std::string_view function, PyObject* key, std::size_t row) noexcept {
    Text message = arrays::call_message(function);
    message += "'by' has the key ";
    message += repr_of(key);
    message += " at position ";
    append_decimal(message, row);
    message += ", which is not one of the stream's symbols (see its keys)";
    return value_error(std::move(message));
}

// Room for the places of `n` rows.
CallStatus make_rows(RowPlaces& rows, std::size_t n) noexcept {
    // A column of one key broadcast (stride 0) can have more rows than the
    // address space has room for their places: the size must not wrap.
    const bool fits = n < SIZE_MAX / sizeof(std::size_t);
    rows.at.reset(fits ? static_cast<std::size_t*>(std::malloc(sizeof(std::size_t) * n + 1))
                       : nullptr);
    if (!rows.at) {
        return CallError::pending(PyExc_MemoryError, "cannot allocate the rows of 'by'");
    }
    rows.rows = n;
    return CallStatus::ok();
}

} // namespace

bool gives_keys(PyObject* symbols) noexcept {
    if (symbols == nullptr || symbols == Py_None || PyLong_Check(symbols) ||
        PyUnicode_Check(symbols) || PyBytes_Check(symbols)) {
        return false;
    }
    // A column has a length; a count, even a numpy array of no dimension
    // (which has __len__ but refuses it), does not.
    if (PyList_Check(symbols) || PyTuple_Check(symbols) || PyObject_Length(symbols) >= 0) {
        return true;
    }
    PyErr_Clear();
    return false;
}

CallStatus symbol_keys(PyObject* column, OwnedRef& keys, OwnedRef& places) noexcept {
    const OwnedRef list = key_list(column);
    if (!list) {
        return CallError::fetch();
    }
    const Py_ssize_t n = PyList_Size(list.get());
    if (n == 0) {
        return value_error("symbols must hold at least one key");
    }
    OwnedRef dict = OwnedRef::steal(PyDict_New());
    if (!dict) {
        return CallError::fetch();
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* key = PyList_GetItem(list.get(), i);
        Text message("symbols: ");
        if (is_null(key)) {
            message += "the key at position ";
            append_decimal(message, static_cast<unsigned long long>(i));
            message += " is null; every symbol needs a key";
            return value_error(std::move(message));
        }
        if (!PyUnicode_Check(key) && (!PyLong_Check(key) || PyBool_Check(key))) {
            message += "keys must be str or int, not '";
            message += type_qualname(reinterpret_cast<PyObject*>(Py_TYPE(key)));
            message += '\'';
            return CallError::pending(PyExc_TypeError, std::move(message));
        }
        if (PyDict_GetItemWithError(dict.get(), key) != nullptr) {
            message += "the key ";
            message += repr_of(key);
            message += " is given twice; the keys must be distinct";
            return value_error(std::move(message));
        }
        const OwnedRef place = OwnedRef::steal(PyLong_FromSsize_t(i));
        if (PyErr_Occurred() != nullptr || !place ||
            PyDict_SetItem(dict.get(), key, place.get()) < 0) {
            return CallError::fetch();
        }
    }
    keys = OwnedRef::steal(PyList_AsTuple(list.get()));
    if (!keys) {
        return CallError::fetch();
    }
    places = std::move(dict);
    return CallStatus::ok();
}

namespace {

// Whether `by` is a numpy array of native integers, the places of a stream
// of symbols=N, read in place with no Python object made per row; its places
// then, or the error.
bool integer_places(std::string_view function, PyObject* by, PyObject* ndarray, std::size_t symbols,
                    RowPlaces& rows, CallStatus& status) noexcept {
    BufferExport buffer;
    if (ndarray == nullptr || Py_TYPE(by) != reinterpret_cast<PyTypeObject*>(ndarray) ||
        !buffer.try_acquire(by, PyBUF_RECORDS_RO)) {
        return false;
    }
    const Py_buffer& view = buffer.view();
    const char* format = view.format != nullptr ? view.format : "B";
    if (format[0] == '@' || format[0] == '=') {
        ++format;
    }
    long long value = 0;
    const char* base = static_cast<const char*>(view.buf);
    if (view.ndim != 1 || format[0] == '\0' || format[1] != '\0' ||
        (view.shape[0] > 0 && !arrays::read_integer(base, format[0], view.itemsize, value))) {
        return false;
    }
    const auto n = static_cast<std::size_t>(view.shape[0]);
    status = make_rows(rows, n);
    for (std::size_t r = 0; r < n && !status.failed(); ++r) {
        (void)arrays::read_integer(base + static_cast<Py_ssize_t>(r) * view.strides[0], format[0],
                                   view.itemsize, value);
        if (value < 0 || static_cast<unsigned long long>(value) >= symbols) {
            const OwnedRef key = OwnedRef::steal(PyLong_FromLongLong(value));
            status = key ? unknown_key(function, key.get(), r) : CallError::fetch();
            break;
        }
        rows.at[r] = static_cast<std::size_t>(value);
    }
    return true;
}

// Whether `by` is a column of keys read in place (key_column.hpp) for a
// stream made with keys: its rows are numbered by distinct key, each
// distinct key looked up once, and the places then given to the rows; or
// the error.
bool distinct_places(std::string_view function, PyObject* by, PyObject* places, PyObject* ndarray,
                     std::size_t symbols, RowPlaces& rows, CallStatus& status) noexcept {
    arrays::KeyColumn keys;
    switch (keys.read(by, ndarray, arrays::KeyColumn::Kinds::text_or_integers)) {
    case arrays::KeyColumn::Read::no:
        return false;
    case arrays::KeyColumn::Read::failed:
        status = CallError::fetch();
        return true;
    case arrays::KeyColumn::Read::yes:
        break;
    }
    arrays::DistinctKeys distinct;
    status = make_rows(rows, keys.rows());
    if (status.failed()) {
        return true;
    }
    const arrays::KeyColumn::Read numbered = keys.number(distinct, rows.at.get());
    if (numbered == arrays::KeyColumn::Read::no) {
        return false; // objects not all str: a row at a time, as a list
    }
    if (numbered == arrays::KeyColumn::Read::failed) {
        status = CallError::fetch();
        return true;
    }
    arrays::Counts place_of;
    if (!(place_of = arrays::Counts(static_cast<std::size_t*>(
              std::malloc(sizeof(std::size_t) * distinct.count() + 1))))) {
        status = CallError::pending(PyExc_MemoryError, "cannot allocate the rows of 'by'");
        return true;
    }
    // Numbered as they first come: the first unknown key is the earliest row's.
    for (std::size_t d = 0; d < distinct.count(); ++d) {
        const OwnedRef key = keys.key(distinct, d);
        if (!key) {
            status = CallError::fetch();
            return true;
        }
        PyObject* found = PyDict_GetItemWithError(places, key.get());
        const Py_ssize_t place = found != nullptr ? PyLong_AsSsize_t(found) : -1;
        PyErr_Clear();
        if (place < 0 || static_cast<std::size_t>(place) >= symbols) {
            status = unknown_key(function, key.get(), distinct.first(d));
            return true;
        }
        place_of[d] = static_cast<std::size_t>(place);
    }
    for (std::size_t r = 0; r < keys.rows(); ++r) {
        rows.at[r] = place_of[rows.at[r]];
    }
    return true;
}

} // namespace

CallStatus row_places(std::string_view function, PyObject* by, PyObject* places, PyObject* ndarray,
                      std::size_t symbols, RowPlaces& rows) noexcept {
    if (CallStatus status = CallStatus::ok();
        places == nullptr ? integer_places(function, by, ndarray, symbols, rows, status)
                          : distinct_places(function, by, places, ndarray, symbols, rows, status)) {
        return status;
    }
    const OwnedRef list = key_list(by);
    if (!list) {
        return CallError::fetch();
    }
    const auto n = static_cast<std::size_t>(PyList_Size(list.get()));
    if (CallStatus made = make_rows(rows, n); made.failed()) {
        return made;
    }
    std::size_t nulls = 0;
    std::size_t first_null = 0;
    PyObject* unknown = nullptr;
    std::size_t unknown_row = 0;
    for (std::size_t r = 0; r < n; ++r) {
        PyObject* key = PyList_GetItem(list.get(), static_cast<Py_ssize_t>(r));
        if (is_null(key)) {
            first_null = nulls++ == 0 ? r : first_null;
            continue;
        }
        Py_ssize_t place = -1;
        if (places != nullptr) {
            PyObject* found = PyDict_GetItemWithError(places, key);
            place = found != nullptr ? PyLong_AsSsize_t(found) : -1;
        } else if (PyLong_Check(key) && !PyBool_Check(key)) {
            place = PyLong_AsSsize_t(key);
        }
        PyErr_Clear(); // an unhashable key, or an int out of range, is not a key of the stream
        if (place < 0 || static_cast<std::size_t>(place) >= symbols) {
            if (unknown == nullptr) {
                unknown = key;
                unknown_row = r;
            }
            continue;
        }
        rows.at[r] = static_cast<std::size_t>(place);
    }
    Text message = arrays::call_message(function);
    if (nulls > 0) {
        message += "'by' has ";
        append_count(message, nulls, "null key", "null keys");
        message += ", the first at position ";
        append_decimal(message, first_null);
        message += "; drop those rows or fill their keys first (pandas: .dropna() or "
                   ".fillna(...), polars: .drop_nulls() or .fill_null(...))";
        return value_error(std::move(message));
    }
    if (unknown != nullptr) {
        return unknown_key(function, unknown, unknown_row);
    }
    return CallStatus::ok();
}

CallError rows_mismatch(std::string_view function, std::size_t keys, std::size_t bars) noexcept {
    Text message = arrays::call_message(function);
    message += "'by' has ";
    append_count(message, keys, "key", "keys");
    message += ", but the series have ";
    append_count(message, bars, "bar", "bars");
    message += "; give one key per row";
    return value_error(std::move(message));
}

CallError where_with_by(std::string_view function) noexcept {
    Text message = arrays::call_message(function);
    message += "'where' and 'by' cannot be given together: with 'by', the rows given are the "
               "bars there are; leave out the rows without one";
    return CallError::pending(PyExc_TypeError, std::move(message));
}

CallError by_without_symbols(std::string_view function) noexcept {
    Text message = arrays::call_message(function);
    message += "'by' needs a stream of many symbols (made with symbols=)";
    return CallError::pending(PyExc_TypeError, std::move(message));
}

} // namespace tarnwick::stream
