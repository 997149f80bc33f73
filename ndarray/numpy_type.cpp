// SPDX-License-Identifier: MIT
#include "numpy_type.hpp"

#include "../binding/call_error.hpp"

#include <utility>

namespace tarnwick::arrays {

namespace {

// Whether the pending error says that module `name` itself is not installed
// (not that it failed to import, which its own error explains better).
bool not_installed(const char* name_of_module) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
        return false;
    }
    CallError error = CallError::fetch();
    const OwnedRef name = OwnedRef::steal(PyObject_GetAttrString(error.instance(), "name"));
    PyErr_Clear();
    const bool missing = name && PyUnicode_Check(name.get()) &&
                         PyUnicode_CompareWithASCIIString(name.get(), name_of_module) == 0;
    std::move(error).raise();
    return missing;
}

// The import error names the extra that installs the module, and keeps the
// original error as its cause.
void missing(const char* needs) noexcept {
    CallError original = CallError::fetch();
    CallError missing = CallError::pending(PyExc_ImportError, needs);
    PyException_SetCause(missing.instance(), OwnedRef::borrow(original.instance()).release());
    std::move(missing).raise();
}

} // namespace

OwnedRef import_module(const char* name, const char* needs) noexcept {
    OwnedRef imported = OwnedRef::steal(PyImport_ImportModule(name));
    if (!imported && not_installed(name)) {
        missing(needs);
    }
    return imported;
}

OwnedRef import_ndarray(const char* module, const char* needs) noexcept {
    const OwnedRef numpy = import_module("numpy", needs);
    if (!numpy) {
        return {};
    }
    OwnedRef ndarray = OwnedRef::steal(PyObject_GetAttrString(numpy.get(), "ndarray"));
    if (!ndarray) {
        return {};
    }
    // numpy's array type is a static type: creating an array with it runs no
    // Python code. A class put in its place could run any, and make anything.
    if (!PyType_Check(ndarray.get()) ||
        (PyType_GetFlags(reinterpret_cast<PyTypeObject*>(ndarray.get())) & Py_TPFLAGS_HEAPTYPE) !=
            0) {
        PyErr_Format(PyExc_ImportError, "%s: numpy.ndarray is not numpy's array type", module);
        return {};
    }
    return ndarray;
}

OwnedRef kept_ndarray(NumpyState& numpy, const char* module, const char* needs) noexcept {
    if (numpy.ndarray != nullptr) {
        return OwnedRef::borrow(numpy.ndarray);
    }
    OwnedRef ndarray = import_ndarray(module, needs);
    // The import may have run code that kept one already.
    if (ndarray && numpy.ndarray == nullptr) {
        numpy.ndarray = OwnedRef::borrow(ndarray.get()).release();
    }
    return ndarray;
}

} // namespace tarnwick::arrays
