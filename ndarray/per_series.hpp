// SPDX-License-Identifier: MIT
// A GARCH parameter (omega, alpha, beta, a seed) given as one number for
// every series of a call or as a 1-D ndarray of one per series, so that a
// panel's fit feeds straight back in: read alike by tarnwick_arrays and by a
// stream of many symbols. The array's values are copied as they are read: a
// later parameter's __float__ cannot move them.
#pragma once

#include "../binding/call_error.hpp"
#include "../binding/conversion.hpp"
#include "../binding/float_series.hpp"
#include "../binding/py_ref.hpp"
#include "../binding/seed_option.hpp"
#include "../binding/text.hpp"
#include "array_series.hpp"

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>

namespace tarnwick::arrays {

struct PerSeries {
    FloatSeries values; // one per series when `is_array`
    Shape shape;        // the array's, for the message of a wrong one
    double value = 0.0;
    bool is_array = false;
    // Series `series`'s value; `value` past the end (no series at all).
    [[nodiscard]] double at(std::size_t series) const noexcept {
        return is_array && series < values.size() ? values.view()[series] : value;
    }
};

// Reads `object` into `into`: an ndarray of one or more dimensions is read as
// a series is (its shape checked later, when the series are known), anything
// else, a 0-d array too, as a number. No array can be given when `ndarray`
// is null (numpy not imported).
inline CallStatus read_per_series(PerSeries& into, PyObject* object, std::string_view function,
                                  std::string_view name, PyObject* ndarray,
                                  InPlaceSeries& in_place) noexcept {
    bool array = ndarray != nullptr &&
                 PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(ndarray)) != 0;
    if (array) {
        if (Py_TYPE(object) != reinterpret_cast<PyTypeObject*>(ndarray)) {
            in_place.before_python_code();
        }
        const OwnedRef ndim = OwnedRef::steal(PyObject_GetAttrString(object, "ndim"));
        const long dimensions = ndim && PyLong_Check(ndim.get()) ? PyLong_AsLong(ndim.get()) : -1;
        PyErr_Clear();
        array = dimensions != 0;
    }
    if (!array) {
        CallResult<double> value = extract_float(object, name, in_place);
        if (value.failed()) {
            return std::move(value.error());
        }
        into.value = value.value();
        return CallStatus::ok();
    }
    ArraySeries read;
    if (CallStatus status =
            extract_array_series_into(read, object, function, name, ndarray, in_place);
        status.failed()) {
        return status;
    }
    const std::span<const double> values = read.all_values();
    if (!into.values.try_resize_uninitialized(values.size())) {
        return in_place.out_of_memory(values.size_bytes());
    }
    std::ranges::copy(values, into.values.data());
    into.shape = read.shape();
    into.is_array = true;
    return CallStatus::ok();
}

// An array given must have one value per series.
inline CallStatus check_per_series(const PerSeries& p, std::string_view function,
                                   std::string_view name, std::size_t series) noexcept {
    if (!p.is_array || (p.shape.ndim == 1 && p.shape.columns == series)) {
        return CallStatus::ok();
    }
    Text message = call_message(function);
    message += '\'';
    message += name;
    message += "' has shape ";
    append_shape(message, p.shape);
    message += ", but there ";
    message += series == 1 ? "is 1 series" : "are ";
    if (series != 1) {
        append_decimal(message, series);
        message += " series";
    }
    return CallError::pending(PyExc_ValueError, std::move(message));
}

// A parameter of kind real declared per_series, converted by an array call.
struct ToPerSeries {
    using Held = PerSeries;
    using Passed = double;
    static constexpr bool is_series = false;
    template <class Context>
    static CallStatus convert(std::optional<Held>& slot, PyObject* o, std::string_view name,
                              const Context& context, InPlaceSeries& in_place) noexcept {
        CallStatus status =
            read_per_series(slot.emplace(), o, context.function, name, context.ndarray, in_place);
        if (status.failed()) {
            slot.reset();
        }
        return status;
    }
    static Passed pass(const Held& held, std::size_t series) noexcept { return held.at(series); }
};

// seed=, a number or one per series; none when None.
inline CallResult<std::optional<PerSeries>> read_seed(PyObject* given, std::string_view function,
                                                      PyObject* ndarray,
                                                      InPlaceSeries& in_place) noexcept {
    std::optional<PerSeries> seed;
    if (given == nullptr || given == Py_None) {
        return seed;
    }
    if (CallStatus read =
            read_per_series(seed.emplace(), given, function, SeedOption::name, ndarray, in_place);
        read.failed()) {
        return std::move(read.error());
    }
    return seed;
}

} // namespace tarnwick::arrays
