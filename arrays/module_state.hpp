// SPDX-License-Identifier: MIT
// What tarnwick_arrays keeps from numpy, which it imports when it is
// imported: the ndarray type, to recognise arrays by identity and to create
// results.
#pragma once

#include <Python.h>

namespace tarnwick::arrays {

struct ModuleState {
    PyObject* ndarray; // a strong reference, released with the module
};

[[nodiscard]] inline ModuleState& state_of(PyObject* module) noexcept {
    return *static_cast<ModuleState*>(PyModule_GetState(module));
}

} // namespace tarnwick::arrays
