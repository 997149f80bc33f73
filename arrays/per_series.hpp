// SPDX-License-Identifier: MIT
// seed= of a GARCH call, a number or one per series, read as the numbers of
// ndarray/per_series.hpp are.
#pragma once

#include "../binding/call_error.hpp"
#include "../binding/seed_option.hpp"
#include "../ndarray/per_series.hpp"
#include "array_options.hpp"

#include <Python.h>

#include <optional>
#include <string_view>
#include <utility>

namespace tarnwick::arrays {

// seed=, a number or one per series; none when None.
struct PerSeriesSeedOption {
    static constexpr std::string_view name = SeedOption::name;
    static constexpr std::string_view default_text = SeedOption::default_text;
    using Value = std::optional<PerSeries>;
    static CallResult<Value> convert(PyObject* given, const OptionContext& context) noexcept {
        return read_seed(given, context.description.function_name, context.ndarray,
                         context.in_place);
    }
};

} // namespace tarnwick::arrays
