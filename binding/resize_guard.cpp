// SPDX-License-Identifier: MIT
#include "resize_guard.hpp"

#include <utility>

namespace tarnwick {

namespace {

// `array`'s base (None when it owns its data), read through ndarray's own
// descriptor, so that a subclass's `base` runs none of its code.
OwnedRef base_of(PyObject* array, PyObject* ndarray) noexcept {
    const OwnedRef descriptor = OwnedRef::steal(PyObject_GetAttrString(ndarray, "base"));
    if (!descriptor) {
        return {};
    }
    auto* get =
        reinterpret_cast<descrgetfunc>(PyType_GetSlot(Py_TYPE(descriptor.get()), Py_tp_descr_get));
    if (get == nullptr) {
        PyErr_SetString(PyExc_SystemError, "numpy.ndarray.base is not a descriptor");
        return {};
    }
    return OwnedRef::steal(get(descriptor.get(), array, ndarray));
}

} // namespace

CallStatus ResizeGuard::hold_one(PyObject* exporter, PyObject* ndarray) noexcept {
    auto* array_type = reinterpret_cast<PyTypeObject*>(ndarray);
    OwnedRef owner = OwnedRef::borrow(exporter);
    for (;;) {
        const bool is_array = PyObject_TypeCheck(owner.get(), array_type) != 0;
        if (!is_array && !PyMemoryView_Check(owner.get())) {
            return CallStatus::ok(); // an exporter that keeps its own memory in place
        }
        OwnedRef next = is_array ? base_of(owner.get(), ndarray)
                                 : OwnedRef::steal(PyObject_GetAttrString(owner.get(), "obj"));
        if (!next && !is_array) {
            PyErr_Clear(); // a released memoryview: it no longer reaches any memory
            return CallStatus::ok();
        }
        if (!next) {
            return CallError::fetch();
        }
        if (next.get() == Py_None) {
            if (!is_array) {
                return CallStatus::ok();
            }
            break; // the array that owns the memory
        }
        owner = std::move(next);
    }
    if (count_ == capacity) {
        return CallError::pending(PyExc_SystemError, Text("too many arrays to guard in one call"));
    }
    held_[count_] = OwnedRef::steal(PyWeakref_NewRef(owner.get(), nullptr));
    if (!held_[count_]) {
        return CallError::fetch();
    }
    ++count_;
    return CallStatus::ok();
}

CallStatus ResizeGuard::hold(std::span<PyObject* const> exporters, PyObject* ndarray) noexcept {
    const int collector_was_enabled = PyGC_Disable();
    CallStatus status = CallStatus::ok();
    for (PyObject* exporter : exporters) {
        if (exporter != nullptr) {
            status = hold_one(exporter, ndarray);
        }
        if (status.failed()) {
            break;
        }
    }
    if (collector_was_enabled) {
        PyGC_Enable();
    }
    return status;
}

} // namespace tarnwick
