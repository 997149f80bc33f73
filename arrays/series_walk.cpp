// SPDX-License-Identifier: MIT
#include "series_walk.hpp"

#include "../binding/conversion.hpp"
#include "../binding/py_ref.hpp"
#include "nan_scan.hpp"

#include <algorithm>
#include <utility>

namespace tarnwick::arrays {

namespace {

CallError value_error(Text message) noexcept {
    return CallError::pending(PyExc_ValueError, std::move(message));
}

} // namespace

CallResult<bool> series_are_columns(PyObject* axis, std::string_view function, const Shape& shape,
                                    InPlaceSeries& in_place) noexcept {
    if (axis == nullptr) {
        return false;
    }
    if (!PyLong_CheckExact(axis)) {
        in_place.before_python_code();
    }
    const OwnedRef index = OwnedRef::steal(PyNumber_Index(axis));
    if (!index) {
        return argument_extraction_error("axis", CallError::fetch());
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    const long long ndim = shape.ndim;
    if (overflow == 0 && -ndim <= value && value < ndim) {
        return shape.ndim == 2 && (value == 0 || value == -2);
    }
    const OwnedRef written = OwnedRef::steal(PyObject_Str(index.get()));
    Py_ssize_t size = 0;
    const char* digits = written ? PyUnicode_AsUTF8AndSize(written.get(), &size) : nullptr;
    if (digits == nullptr) {
        return CallError::fetch();
    }
    Text message = call_message(function);
    message += "axis ";
    message += std::string_view(digits, static_cast<std::size_t>(size));
    message += " is out of bounds for array of dimension ";
    append_decimal(message, static_cast<unsigned long long>(ndim));
    return value_error(std::move(message));
}

PiecesInPlace pieces_in_place(PyObject* out, PyObject* axis, PyObject* policy,
                              PyObject* by) noexcept {
    const auto given = [](PyObject* o) { return o != nullptr && o != Py_None; };
    if (given(out) || axis != nullptr || given(by)) {
        return {};
    }
    const auto named = [&](const char* name) {
        return PyUnicode_CheckExact(policy) && PyUnicode_CompareWithASCIIString(policy, name) == 0;
    };
    if (policy == nullptr || named("propagate")) {
        return {.rows = true, .chunks = true};
    }
    return {.rows = named("omit"), .chunks = false};
}

std::size_t pieces_holding_nan(const Pieces& pieces, const Shape& shape) noexcept {
    std::size_t count = 0;
    for (std::size_t i = 0; i < pieces.count(); ++i) {
        count += holds_nan(pieces[i]) ? 1U : 0U;
        if (shape.ndim == 1 && count != 0) {
            return 1;
        }
    }
    return count;
}

CallResult<NanPolicy> extract_nan_policy(PyObject* policy, std::string_view function) noexcept {
    if (policy == nullptr) {
        return NanPolicy::propagate;
    }
    if (PyUnicode_Check(policy)) {
        constexpr std::pair<const char*, NanPolicy> named[] = {
            {"propagate", NanPolicy::propagate},
            {"omit", NanPolicy::omit},
            {"raise", NanPolicy::raise},
        };
        for (const auto& [name, value] : named) {
            if (PyUnicode_CompareWithASCIIString(policy, name) == 0) {
                return value;
            }
        }
    }
    Text message = call_message(function);
    message += "nan_policy must be 'propagate', 'omit' or 'raise'";
    return value_error(std::move(message));
}

CallStatus refuse_nan(std::string_view function, std::span<const std::string_view> names,
                      std::span<const std::span<const double>> inputs,
                      const Shape& shape) noexcept {
    for (std::size_t s = 0; s < inputs.size(); ++s) {
        const std::span<const double> values = inputs[s];
        for (std::size_t k = 0; k < values.size(); ++k) {
            if (values[k] == values[k]) {
                continue;
            }
            Text message = call_message(function);
            message += '\'';
            message += names[s];
            message += "' is NaN at index ";
            if (shape.ndim == 2) {
                append_shape(message, {2, k / shape.columns, k % shape.columns});
            } else {
                append_decimal(message, k);
            }
            message += " (nan_policy='raise')";
            return value_error(std::move(message));
        }
    }
    return CallStatus::ok();
}

} // namespace tarnwick::arrays
