// SPDX-License-Identifier: MIT
#include "module_definition.hpp"

#include "cached.hpp"
#include "fatal.hpp"

#include <cstring>

namespace tarnwick {

namespace {

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

} // namespace

CallStatus list_in_all(PyObject* module, PyObject* name) noexcept {
    CallResult<OwnedRef> all = export_list(module);
    if (all.failed()) {
        return std::move(all.error());
    }
    if (PyList_Append(all.value().get(), name) < 0) {
        PyErr_WriteUnraisable(nullptr);
        fatal("could not append __name__ to __all__");
    }
    return CallStatus::ok();
}

int add_type(PyObject* module, PyType_Spec* spec, PyObject*& kept) noexcept {
    PyObject* type = PyType_FromModuleAndSpec(module, spec, nullptr);
    if (type == nullptr) {
        return -1;
    }
    kept = type;
    const char* dot = std::strrchr(spec->name, '.');
    return PyModule_AddObjectRef(module, dot != nullptr ? dot + 1 : spec->name, type);
}

} // namespace tarnwick
