// SPDX-License-Identifier: MIT
// The options of an array call (binding/options.hpp), each converted once the
// series agree on a shape: `out`, `seed`, `axis`, `nan_policy` and `by`.
#pragma once

#include "../binding/arguments.hpp"
#include "../binding/conversion.hpp"
#include "../binding/options.hpp"
#include "../binding/seed_option.hpp"
#include "../binding/text.hpp"
#include "../ndarray/array_series.hpp"
#include "series_walk.hpp"

#include <Python.h>

#include <string_view>
#include <utility>

namespace tarnwick::arrays {

// What an option's conversion knows: the function, the shape its series
// agree on, and the series read in place (copied before a conversion runs
// the caller's code).
struct OptionContext {
    const FunctionDescription& description;
    Shape shape;
    InPlaceSeries& in_place;
    PyObject* ndarray = nullptr; // numpy.ndarray, for options read as arrays
};

// A writable float64 ndarray of the result's shape, checked when the result
// is made (destination.hpp); null when None.
struct OutOption {
    static constexpr std::string_view name = "out";
    static constexpr std::string_view default_text = "None";
    using Value = PyObject*;
    static CallResult<Value> convert(PyObject* given, const OptionContext&) noexcept {
        return given == Py_None ? nullptr : given;
    }
};

// Whether the series are the columns of 2-D inputs (series_are_columns).
struct AxisOption {
    static constexpr std::string_view name = "axis";
    static constexpr std::string_view default_text = "-1";
    using Value = bool;
    static CallResult<Value> convert(PyObject* given, const OptionContext& context) noexcept {
        return series_are_columns(given, context.description.function_name, context.shape,
                                  context.in_place);
    }
};

struct PolicyOption {
    static constexpr std::string_view name = "nan_policy";
    static constexpr std::string_view default_text = "'propagate'";
    using Value = NanPolicy;
    static CallResult<Value> convert(PyObject* given, const OptionContext& context) noexcept {
        return extract_nan_policy(given, context.description.function_name);
    }
};

// The group key of each bar of one-dimensional series, read when the rows
// are grouped (columns.hpp); null when None.
struct ByOption {
    static constexpr std::string_view name = "by";
    static constexpr std::string_view default_text = "None";
    using Value = PyObject*;
    static CallResult<Value> convert(PyObject* given, const OptionContext& context) noexcept {
        if (given == nullptr || given == Py_None) {
            return Value{nullptr};
        }
        if (context.shape.ndim != 1) {
            return only_one_dimension(context);
        }
        return given;
    }

  private:
    static CallError only_one_dimension(const OptionContext& context) noexcept {
        const FunctionDescription& d = context.description;
        Text message = call_message(d.function_name);
        message += "by= groups the rows of one-dimensional series, but '";
        message += d.parameter_names[0];
        message += "' has shape ";
        append_shape(message, context.shape);
        message += "; give the long table's columns as 1-D arrays, or leave out by= for one "
                   "series per row";
        return CallError::pending(PyExc_ValueError, std::move(message));
    }
};

} // namespace tarnwick::arrays
