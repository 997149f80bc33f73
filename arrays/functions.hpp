// SPDX-License-Identifier: MIT
// The functions of tarnwick_arrays, as method records in registration order.
#pragma once

#include "module_state.hpp"

#include <Python.h>

namespace tarnwick::arrays {

// Null-terminated, for the module definition.
[[nodiscard]] PyMethodDef* method_records() noexcept;
// tarnwick_frames' reading of text keys as codes (key_codes.cpp).
[[nodiscard]] PyMethodDef* key_code_records() noexcept;

// Makes the named tuple type of each function of several values per bar,
// kept in `state` and added to `module` under its name; -1 with an
// exception set on failure.
[[nodiscard]] int add_tuple_types(PyObject* module, ModuleState& state) noexcept;

// Adds `_catalogue`: each function's entry as data, (stem, ((name, kind),
// ...), outputs, type_name), for the type stubs' generator; -1 with an
// exception set on failure.
[[nodiscard]] int add_catalogue(PyObject* module) noexcept;

} // namespace tarnwick::arrays
