// SPDX-License-Identifier: MIT
// Failures that are not the caller's fault (exhausted memory while creating an
// object the module needs, a broken invariant) are not turned into Python
// exceptions: the process reports them on standard error and aborts.
#pragma once

#include <Python.h>

namespace tarnwick {

// Writes `diagnostic` and a line feed to standard error, then aborts.
[[noreturn]] void fatal(const char* diagnostic) noexcept;

// For an interpreter call that could not create an object: reports the pending
// exception as unraisable, then aborts with "PyObject pointer is null".
[[noreturn]] void fatal_null_object() noexcept;

// Passes a new reference through, or ends the process if the call failed.
inline PyObject* created_or_abort(PyObject* object) noexcept {
    if (object == nullptr) {
        fatal_null_object();
    }
    return object;
}

} // namespace tarnwick
