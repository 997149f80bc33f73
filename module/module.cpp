// SPDX-License-Identifier: MIT
// Module definition and registration (binding/module_definition.hpp, as
// every module of the package): the only symbol the shared object exports is
// PyInit_tarnwick. Its only state is process-wide: the few values
// made on first use (binding/cached.hpp), which every module object shares,
// so the module object itself holds none.
//
// The functions are made by hand in the exec slot rather than listed in
// m_methods, because the interpreter refuses METH_STATIC in a module's method
// table, and the functions are static so that __self__ reads as None. The
// exec slot also lists each name in __all__ as it goes.
#include "../binding/cached.hpp"
#include "../binding/call_error.hpp"
#include "../binding/module_definition.hpp"
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

// Lists the function's name in __all__, then sets it as an attribute.
CallStatus add_function(PyObject* module, OwnedRef function) noexcept {
    const OwnedRef name = OwnedRef::steal(PyObject_GetAttr(function.get(), name_of_name().get()));
    if (!name) {
        return CallError::fetch();
    }
    if (CallStatus listed = list_in_all(module, name.get()); listed.failed()) {
        return listed;
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

PyModuleDef definition = module_definition("tarnwick", "", nullptr, exec_slots<&module_exec>);

} // namespace

} // namespace tarnwick

PyMODINIT_FUNC PyInit_tarnwick(void) {
    return PyModuleDef_Init(&tarnwick::definition);
}
