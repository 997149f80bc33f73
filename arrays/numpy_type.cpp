// SPDX-License-Identifier: MIT
#include "numpy_type.hpp"

#include "../binding/call_error.hpp"

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
void numpy_missing(const char* needs) noexcept {
    CallError original = CallError::fetch();
    CallError missing = CallError::pending(PyExc_ImportError, needs);
    PyException_SetCause(missing.instance(), OwnedRef::borrow(original.instance()).release());
    std::move(missing).raise();
}

} // namespace

OwnedRef import_ndarray(const char* module, const char* needs) noexcept {
    const OwnedRef numpy = OwnedRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy) {
        if (numpy_not_installed()) {
            numpy_missing(needs);
        }
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

} // namespace tarnwick::arrays
