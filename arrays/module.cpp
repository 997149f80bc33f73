// SPDX-License-Identifier: MIT
// Module definition of tarnwick_arrays: the only symbol the shared object
// exports is PyInit_tarnwick_arrays. Importing it imports numpy, whose
// ndarray type the module keeps in its state.
#include "../binding/call_error.hpp"
#include "../binding/fatal.hpp"
#include "../binding/py_ref.hpp"
#include "functions.hpp"
#include "module_state.hpp"

#include <Python.h>

#include <utility>

namespace tarnwick::arrays {

namespace {

// Whether the pending error says that numpy itself is not installed (not
// that numpy failed to import, which its own error explains better).
bool numpy_not_installed() noexcept {
    if (!PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
        return false;
    }
    CallError error = CallError::fetch();
    const OwnedRef name = OwnedRef::steal(PyObject_GetAttrString(error.instance(), "name"));
    PyErr_Clear();
    const bool numpy = name && PyUnicode_Check(name.get()) &&
                       PyUnicode_CompareWithASCIIString(name.get(), "numpy") == 0;
    std::move(error).raise();
    return numpy;
}

// The import error names the extra that installs numpy, and keeps the
// original error as its cause.
int numpy_missing() noexcept {
    CallError original = CallError::fetch();
    CallError missing = CallError::pending(
        PyExc_ImportError, "tarnwick_arrays needs numpy: pip install 'tarnwick[arrays]'");
    PyException_SetCause(missing.instance(), OwnedRef::borrow(original.instance()).release());
    std::move(missing).raise();
    return -1;
}

int module_exec(PyObject* module) noexcept {
    const OwnedRef numpy = OwnedRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy) {
        return numpy_not_installed() ? numpy_missing() : -1;
    }
    OwnedRef ndarray = OwnedRef::steal(PyObject_GetAttrString(numpy.get(), "ndarray"));
    if (!ndarray) {
        return -1;
    }
    // numpy's array type is a static type: creating an array with it runs no
    // Python code. A class put in its place could run any, and make anything.
    if (!PyType_Check(ndarray.get()) ||
        (PyType_GetFlags(reinterpret_cast<PyTypeObject*>(ndarray.get())) & Py_TPFLAGS_HEAPTYPE) !=
            0) {
        PyErr_SetString(PyExc_ImportError,
                        "tarnwick_arrays: numpy.ndarray is not numpy's array type");
        return -1;
    }
    ModuleState& state = state_of(module);
    state.ndarray = ndarray.release();

    const OwnedRef all = OwnedRef::steal(created_or_abort(PyList_New(0)));
    for (PyMethodDef* record = method_records(); record->ml_name != nullptr; ++record) {
        const OwnedRef name =
            OwnedRef::steal(created_or_abort(PyUnicode_FromString(record->ml_name)));
        if (PyList_Append(all.get(), name.get()) < 0) {
            return -1;
        }
    }
    return PyObject_SetAttrString(module, "__all__", all.get());
}

int module_traverse(PyObject* module, visitproc visit, void* arg) noexcept {
    const ModuleState& state = state_of(module);
    Py_VISIT(state.ndarray);
    return 0;
}

int module_clear(PyObject* module) noexcept {
    ModuleState& state = state_of(module);
    // Dropped through OwnedRef, after the state no longer points at them.
    const OwnedRef ndarray = OwnedRef::steal(std::exchange(state.ndarray, nullptr));
    return 0;
}

void module_free(void* module) noexcept {
    module_clear(static_cast<PyObject*>(module));
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
    {0, nullptr},
};

// Writable: the interpreter fills in the header during initialisation.
PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "tarnwick_arrays",
    "ADX, Parabolic SAR and GARCH(1,1) variance over numpy arrays, one series or one per row.",
    sizeof(ModuleState),
    method_records(),
    module_slots,
    &module_traverse,
    &module_clear,
    &module_free,
};

} // namespace

} // namespace tarnwick::arrays

PyMODINIT_FUNC PyInit_tarnwick_arrays(void) {
    return PyModuleDef_Init(&tarnwick::arrays::module_definition);
}
