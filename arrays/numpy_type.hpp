// SPDX-License-Identifier: MIT
// numpy's array type, imported for a module that reads and makes arrays, and
// the optional modules such a module hands work to.
#pragma once

#include "../binding/py_ref.hpp"

#include <Python.h>

#include <string_view>

namespace tarnwick::arrays {

// Module `name`, or null with an ImportError set: `needs` (the message of
// the error, say what to install) when the module is not installed, with the
// original error as its cause; the module's own error when it fails to import.
[[nodiscard]] OwnedRef import_module(const char* name, const char* needs) noexcept;

// numpy.ndarray, or null with an ImportError set: `needs` (the message of
// the error, say what to install) when numpy is not installed, with the
// original error as its cause; numpy's own error when numpy fails to import;
// and a refusal, naming `module`, when numpy.ndarray is not numpy's own type.
[[nodiscard]] OwnedRef import_ndarray(const char* module, const char* needs) noexcept;

} // namespace tarnwick::arrays
