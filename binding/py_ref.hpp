// SPDX-License-Identifier: MIT
// Ownership of interpreter references.
//
// A plain `PyObject*` in this module is always borrowed: it is never released.
// A reference the module owns lives in an OwnedRef, which releases it when it
// goes out of scope, so an early return on an error path cannot leak it:
//   OwnedRef::steal(p)   adopts a new reference returned by the interpreter
//                        (null is allowed and means "the call failed");
//   OwnedRef::borrow(p)  takes a reference of its own to a borrowed pointer;
//   release()            hands the reference on (to a call that steals it, or
//                        as a return value) and leaves the OwnedRef empty.
#pragma once

#include <Python.h>

#include <utility>

namespace tarnwick {

class OwnedRef {
  public:
    OwnedRef() noexcept = default;
    [[nodiscard]] static OwnedRef steal(PyObject* p) noexcept { return OwnedRef(p); }
    [[nodiscard]] static OwnedRef borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return OwnedRef(p);
    }

    OwnedRef(OwnedRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        OwnedRef old(std::exchange(p_, std::exchange(other.p_, nullptr)));
        return *this;
    }
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    ~OwnedRef() { Py_XDECREF(p_); }

    [[nodiscard]] PyObject* get() const noexcept { return p_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

  private:
    explicit OwnedRef(PyObject* p) noexcept : p_(p) {}

    PyObject* p_ = nullptr;
};

} // namespace tarnwick
