// SPDX-License-Identifier: MIT
// Module definition of tarnwick_stream: the only symbol the shared object
// exports is PyInit_tarnwick_stream. The module state keeps its three types,
// which _restore (the unpickling function) recognises by identity.
#include "../binding/py_ref.hpp"
#include "stream.hpp"

#include <Python.h>

#include <atomic>

namespace tarnwick::stream {

namespace {

int module_exec(PyObject* module) noexcept {
    // Once per process: another import (a subinterpreter, a reload) must not
    // count each fork again.
    static std::atomic<bool> counting_forks{false};
    if (!counting_forks.exchange(true) && count_forks() < 0) {
        counting_forks.store(false);
        return -1;
    }
    if (PyModule_AddStringConstant(module, "__version__", TARNWICK_VERSION) < 0) {
        return -1;
    }
    return add_types(module, state_of(module).types);
}

PyObject* module_restore(PyObject* module, PyObject* args) noexcept {
    return restore(state_of(module).types, args);
}

PyMethodDef module_methods[] = {
    {"_restore", &module_restore, METH_VARARGS,
     "_restore(type, version, parameters, symbols, record)\n--\n\nA pickled stream, "
     "restored; a ValueError for anything that is not a pickle of one."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = module_definition<ModuleState>(
    "tarnwick_stream",
    "ADX, Parabolic SAR and GARCH(1,1) variance a bar at a time, for live data: each stream "
    "continues one series (or one per symbol) from where it stopped, with the same bits as "
    "the whole-series functions of tarnwick, and pickles to its exact state.",
    module_methods, exec_slots<&module_exec>);

} // namespace

} // namespace tarnwick::stream

PyMODINIT_FUNC PyInit_tarnwick_stream(void) {
    return PyModuleDef_Init(&tarnwick::stream::definition);
}
