// SPDX-License-Identifier: MIT
// What tarnwick_arrays keeps from numpy, which it imports when it is
// imported: the ndarray type, to recognise arrays by identity and to create
// results; and tarnwick_frames, imported on the first call given pandas,
// polars or Arrow columns (columns.hpp); and the named tuple types of the
// functions of several values per bar.
#pragma once

#include "../binding/catalogue.hpp"

#include <Python.h>

namespace tarnwick::arrays {

struct ModuleState {
    PyObject* ndarray;               // a strong reference, released with the module
    PyObject* frames = nullptr;      // until first needed, then the same
    PyObject* garch11_fit = nullptr; // the named tuple garch11_fit returns, strong
    // The named tuple type each function of several values per bar returns,
    // by its place in the catalogue (null for the others); the same.
    PyObject* tuples[ArrayCatalogue::size] = {};
};

[[nodiscard]] inline ModuleState& state_of(PyObject* module) noexcept {
    return *static_cast<ModuleState*>(PyModule_GetState(module));
}

} // namespace tarnwick::arrays
