// SPDX-License-Identifier: MIT
// FloatListOutput: a kernel output that is the result list itself. Each
// value becomes a float in the list as soon as the kernel has it, bit for bit
// (NaN, infinities and -0.0 included). A list or float that cannot be created
// means exhausted memory, which ends the process.
#pragma once

#include "fatal.hpp"
#include "py_ref.hpp"

#include <Python.h>

#include <cstddef>

namespace tarnwick {

class FloatListOutput {
  public:
    void start(std::size_t n) noexcept {
        list_ = OwnedRef::steal(created_or_abort(PyList_New(static_cast<Py_ssize_t>(n))));
    }

    void put(std::size_t i, double value) noexcept {
        PyList_SetItem(list_.get(), static_cast<Py_ssize_t>(i),
                       created_or_abort(PyFloat_FromDouble(value)));
    }

    // The finished list, or null if the kernel never started it.
    [[nodiscard]] PyObject* release() noexcept { return list_.release(); }

  private:
    OwnedRef list_;
};

} // namespace tarnwick
