// SPDX-License-Identifier: MIT
// What tarnwick_arrays keeps: numpy's ndarray type (NumpyState), imported
// when the module is; tarnwick_frames, imported on the first call given pandas,
// polars or Arrow columns (columns.hpp); and the named tuple types of the
// functions of several values per bar. by='s scratch is released with it.
#pragma once

#include "../binding/catalogue.hpp"
#include "../binding/module_definition.hpp"
#include "../ndarray/numpy_type.hpp"
#include "groups.hpp"

#include <Python.h>

namespace tarnwick::arrays {

struct ModuleState : NumpyState {
    PyObject* frames = nullptr;      // until first needed, then the same
    PyObject* garch11_fit = nullptr; // the named tuple garch11_fit returns, strong
    // The named tuple type each function of several values per bar returns,
    // by its place in the catalogue (null for the others); the same.
    PyObject* tuples[ArrayCatalogue::size] = {};

    // Every strong reference above, for the module's collector hooks.
    template <class F> void each_reference(F f) noexcept {
        f(ndarray);
        f(frames);
        f(garch11_fit);
        for (PyObject*& type : tuples) {
            f(type);
        }
    }
    // by='s scratch kept between calls goes with the module, so that a
    // process that unloads it holds no memory for it.
    static void let_go() noexcept { Scratch::release_kept(); }
};

[[nodiscard]] inline ModuleState& state_of(PyObject* module) noexcept {
    return module_state<ModuleState>(module);
}

} // namespace tarnwick::arrays
