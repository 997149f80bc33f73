// SPDX-License-Identifier: MIT
// The functions of tarnwick_arrays, as method records in registration order.
#pragma once

#include <Python.h>

namespace tarnwick::arrays {

// Null-terminated, for the module definition.
[[nodiscard]] PyMethodDef* method_records() noexcept;

} // namespace tarnwick::arrays
