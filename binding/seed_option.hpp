// SPDX-License-Identifier: MIT
// seed=, an option (options.hpp) of a recursion that can start from a given
// variance instead of the mean of the squared returns: of the arrays'
// functions and of a stream as it is made. Any context that holds the
// series read in place (`in_place`) converts it.
#pragma once

#include "call_error.hpp"
#include "conversion.hpp"

#include <Python.h>

#include <optional>
#include <string_view>
#include <utility>

namespace tarnwick {

// The variance a recursion starts from; none when None.
struct SeedOption {
    static constexpr std::string_view name = "seed";
    static constexpr std::string_view default_text = "None";
    using Value = std::optional<double>;
    template <class Context>
    static CallResult<Value> convert(PyObject* given, const Context& context) noexcept {
        if (given == nullptr || given == Py_None) {
            return Value();
        }
        CallResult<double> value = extract_float(given, name, context.in_place);
        if (value.failed()) {
            return std::move(value.error());
        }
        return Value(value.value());
    }
};

} // namespace tarnwick
