// SPDX-License-Identifier: MIT
// Module definition and registration: the only symbol the shared object
// exports is PyInit_tarnwick. Its only state is process-wide: the few values
// made on first use (binding/cached.hpp), which every module object shares,
// so the module object itself holds none.
//
// The functions are made by hand in the exec slot rather than listed in
// m_methods, because the interpreter refuses METH_STATIC in a module's method
// table, and the functions are static so that __self__ reads as None. The
// exec slot also lists each name in __all__ as it goes.
#include "../binding/cached.hpp"
#include "../binding/call_error.hpp"
#include "../binding/fatal.hpp"
#include "../binding/py_ref.hpp"
#include "functions.hpp"

#include <Python.h>

#include <utility>

namespace tarnwick {

namespace {

// Makes the built-in function object of one method record, reporting the
// module's name as its __module__.
CallResult<OwnedRef> wrap_pyfunction(PyObject* module, PyMethodDef* record) noexcept {
    const OwnedRef module_name = OwnedRef::steal(PyModule_GetNameObject(module));
    if (!module_name) {
        return CallError::fetch();
    }
    OwnedRef function = OwnedRef::steal(PyCMethod_New(record, module, module_name.get(), nullptr));
    if (!function) {
        return CallError::fetch();
    }
    return function;
}

// The module's __all__, created as an empty list if the module has none.
CallResult<OwnedRef> export_list(PyObject* module) noexcept {
    OwnedRef all = OwnedRef::steal(PyObject_GetAttr(module, name_of_all().get()));
    if (all) {
        if ((PyType_GetFlags(Py_TYPE(all.get())) & Py_TPFLAGS_LIST_SUBCLASS) == 0) {
            return cast_error(all.get(), reinterpret_cast<PyObject*>(&PyList_Type));
        }
        return all;
    }
    CallError lookup = CallError::fetch();
    if (!lookup.matches(PyExc_AttributeError)) {
        return lookup;
    }
    all = OwnedRef::steal(created_or_abort(PyList_New(0)));
    if (PyObject_SetAttr(module, name_of_all().get(), all.get()) < 0) {
        return CallError::fetch();
    }
    return all;
}

// Lists the function's name in __all__, then sets it as an attribute.
CallStatus add_function(PyObject* module, OwnedRef function) noexcept {
    const OwnedRef name = OwnedRef::steal(PyObject_GetAttr(function.get(), name_of_name().get()));
    if (!name) {
        return CallError::fetch();
    }
    {
        CallResult<OwnedRef> all = export_list(module);
        if (all.failed()) {
            return std::move(all.error());
        }
        if (PyList_Append(all.value().get(), name.get()) < 0) {
            PyErr_WriteUnraisable(nullptr);
            fatal("could not append __name__ to __all__");
        }
    }
    if (PyObject_SetAttr(module, name.get(), function.get()) < 0) {
        return CallError::fetch();
    }
    return CallStatus::ok();
}

int module_exec(PyObject* module) noexcept {
    for (PyMethodDef& record : method_records()) {
        CallResult<OwnedRef> function = wrap_pyfunction(module, &record);
        CallStatus added = function.failed() ? CallStatus(std::move(function.error()))
                                             : add_function(module, std::move(function.value()));
        if (added.failed()) {
            std::move(added.error()).raise();
            return -1;
        }
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
    {0, nullptr},
};

// Writable: the interpreter fills in the header during initialisation.
PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "tarnwick", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

} // namespace

} // namespace tarnwick

PyMODINIT_FUNC PyInit_tarnwick(void) {
    return PyModuleDef_Init(&tarnwick::module_definition);
}
