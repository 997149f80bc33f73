// SPDX-License-Identifier: MIT
// ListOutput: a kernel output that is the result list itself. Each value
// becomes a float in the list as soon as the kernel has it, bit for bit (NaN,
// infinities and -0.0 included). A list or float that cannot be created means
// exhausted memory, which ends the process for tarnwick's functions
// (FloatListOutput); a stream drops the list instead and raises MemoryError.
#pragma once

#include "fatal.hpp"
#include "py_ref.hpp"

#include <Python.h>

#include <cstddef>

namespace tarnwick {

enum class WhenListFails { abort, drop };

template <WhenListFails When> class ListOutput {
  public:
    // The kernel may be reading the caller's buffers in place when it starts
    // its output, and no caller code may run from then until it is done.
    // Creating a list can start a garbage collection on the spot (it does on
    // CPython 3.11), which runs finalizers and gc.callbacks that could write
    // to or resize those buffers; so the collector is held off for this one
    // allocation. Floats are not tracked by the collector and never start it.
    void start(std::size_t n) noexcept {
        const int collector_was_enabled = PyGC_Disable();
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
        if (collector_was_enabled) {
            PyGC_Enable();
        }
        if constexpr (When == WhenListFails::abort) {
            list_ = OwnedRef::steal(created_or_abort(list));
        } else {
            list_ = OwnedRef::steal(list);
            dropped_ = list == nullptr;
        }
    }

    void put(std::size_t i, double value) noexcept {
        if constexpr (When == WhenListFails::abort) {
            PyList_SetItem(list_.get(), static_cast<Py_ssize_t>(i),
                           created_or_abort(PyFloat_FromDouble(value)));
        } else if (!dropped_) {
            PyObject* item = PyFloat_FromDouble(value);
            if (item == nullptr) {
                list_ = OwnedRef();
                dropped_ = true;
                return;
            }
            PyList_SetItem(list_.get(), static_cast<Py_ssize_t>(i), item);
        }
    }

    // Whether the list was dropped, its MemoryError set.
    [[nodiscard]] bool dropped() const noexcept { return dropped_; }

    // The finished list, or null if the kernel never started it or it was
    // dropped.
    [[nodiscard]] PyObject* release() noexcept { return list_.release(); }

  private:
    OwnedRef list_;
    bool dropped_ = false;
};

using FloatListOutput = ListOutput<WhenListFails::abort>;

} // namespace tarnwick
