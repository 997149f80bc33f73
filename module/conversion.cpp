// SPDX-License-Identifier: MIT
#include "conversion.hpp"

#include "cached.hpp"
#include "fatal.hpp"
#include "py_ref.hpp"

#include <algorithm>
#include <utility>

namespace tarnwick {

namespace {

// A length reported by __len__ is only a hint: trusting a huge or false one
// would reserve memory the iteration never fills, or abort the process.
// Exact lists and tuples report their real length.
constexpr Py_ssize_t max_untrusted_reservation = 4096;

bool is_str(PyObject* object) noexcept {
    return (PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_UNICODE_SUBCLASS) != 0;
}

Py_ssize_t reservation_hint(PyObject* object) noexcept {
    const Py_ssize_t hint = PyObject_Size(object);
    if (hint < 0) {
        PyErr_Clear();
        return 0;
    }
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
        return hint;
    }
    return std::min(hint, max_untrusted_reservation);
}

} // namespace

Extracted<FloatSeries> extract_float_series(PyObject* object, std::string_view parameter) noexcept {
    const auto fail = [parameter](CallError error) {
        return argument_extraction_error(parameter, std::move(error));
    };
    if (is_str(object)) {
        return fail(CallError::pending(PyExc_TypeError, "Can't extract `str` to `Vec`"));
    }
    if (!PySequence_Check(object)) {
        PyObject* sequence = sequence_abc();
        return fail(sequence != nullptr ? cast_error(object, sequence) : CallError::fetch());
    }
    FloatSeries series;
    series.reserve(static_cast<std::size_t>(reservation_hint(object)));
    const OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(object));
    if (!iterator) {
        return fail(CallError::fetch());
    }
    while (const OwnedRef item = OwnedRef::steal(PyIter_Next(iterator.get()))) {
        const double value = PyFloat_AsDouble(item.get());
        if (value == -1.0 && PyErr_Occurred() != nullptr) {
            return fail(CallError::fetch());
        }
        series.push_back(value);
    }
    if (PyErr_Occurred() != nullptr) {
        return fail(CallError::fetch());
    }
    return series;
}

Extracted<double> extract_float(PyObject* object, std::string_view parameter) noexcept {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred() != nullptr) {
        return argument_extraction_error(parameter, CallError::fetch());
    }
    return value;
}

Extracted<std::uint64_t> extract_index(PyObject* object, std::string_view parameter) noexcept {
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

PyObject* into_float_list(FloatSeries series) noexcept {
    const auto n = static_cast<Py_ssize_t>(series.size());
    OwnedRef list = OwnedRef::steal(created_or_abort(PyList_New(n)));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = created_or_abort(PyFloat_FromDouble(series[static_cast<std::size_t>(i)]));
        PyList_SetItem(list.get(), i, item);
    }
    return list.release();
}

} // namespace tarnwick
