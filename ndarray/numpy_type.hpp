// SPDX-License-Identifier: MIT
// numpy's array type, imported for a module that reads and makes arrays and
// kept in its NumpyState, and the optional modules such a module hands work to.
#pragma once

#include "../binding/py_ref.hpp"

#include <Python.h>

#include <string_view>

namespace tarnwick::arrays {

// What the array layer keeps of numpy for each module that reads or makes
// arrays: the ndarray type, to recognise arrays by identity and to create
// results. A strong reference, released with the module.
struct NumpyState {
    PyObject* ndarray;
};

// Module `name`, or null with an ImportError set: `needs` (the message of
// the error, say what to install) when the module is not installed, with the
// original error as its cause; the module's own error when it fails to import.
[[nodiscard]] OwnedRef import_module(const char* name, const char* needs) noexcept;

// numpy.ndarray, or null with an ImportError set: `needs` (the message of
// the error, say what to install) when numpy is not installed, with the
// original error as its cause; numpy's own error when numpy fails to import;
// and a refusal, naming `module`, when numpy.ndarray is not numpy's own type.
[[nodiscard]] OwnedRef import_ndarray(const char* module, const char* needs) noexcept;

// numpy.ndarray as `numpy` keeps it, imported (as import_ndarray does) and
// kept there when it holds none yet; null with an ImportError set.
[[nodiscard]] OwnedRef kept_ndarray(NumpyState& numpy, const char* module,
                                    const char* needs) noexcept;

} // namespace tarnwick::arrays
