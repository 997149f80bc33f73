// SPDX-License-Identifier: MIT
// The stream types of tarnwick_stream (stream.cpp), added to the module by
// its exec slot (module.cpp).
#pragma once

#include "../binding/catalogue.hpp"
#include "../binding/module_definition.hpp"
#include "../ndarray/numpy_type.hpp"

#include <Python.h>

namespace tarnwick::stream {

struct ModuleState {
    PyObject* types[StreamCatalogue::size]; // strong references, released with the module
    arrays::NumpyState numpy; // numpy's array type, once a stream of many symbols is made

    // Every strong reference above, for the module's collector hooks.
    template <class F> void each_reference(F f) noexcept {
        for (PyObject*& type : types) {
            f(type);
        }
        f(numpy.ndarray);
    }
};

[[nodiscard]] inline ModuleState& state_of(PyObject* module) noexcept {
    return module_state<ModuleState>(module);
}

// Creates one heap type of `module` per indicator, stores new references
// to them in types[] (in the catalogue's order) and adds them to
// the module; -1 with an exception set on failure.
int add_types(PyObject* module, PyObject** types) noexcept;

// Counts the forks of this process in each child (os.register_at_fork), so
// that a child can take over a stream its parent's other thread held; -1 with
// an exception set on failure.
int count_forks() noexcept;

// _restore(type, version, parameters, symbols, record): a stream unpickled, or a
// ValueError for anything that is not a pickle of one.
PyObject* restore(PyObject* const* types, PyObject* args) noexcept;

} // namespace tarnwick::stream
