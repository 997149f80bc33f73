// SPDX-License-Identifier: MIT
// The module's functions, as method records in registration order.
#pragma once

#include <Python.h>

#include <span>

namespace tarnwick {

[[nodiscard]] std::span<PyMethodDef> method_records() noexcept;

} // namespace tarnwick
