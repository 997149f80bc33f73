// SPDX-License-Identifier: MIT
// Failures that are not the caller's fault (exhausted memory, a broken
// invariant) are not turned into Python exceptions: the process reports them
// on standard error and aborts. This is the module's only way out of that kind.
#pragma once

#include <Python.h>

#include <cstddef>

namespace tarnwick {

// Writes `diagnostic` and a line feed to standard error, then aborts.
[[noreturn]] void fatal(const char* diagnostic) noexcept;

// "memory allocation of {bytes} bytes failed".
[[noreturn]] void allocation_failed(std::size_t bytes) noexcept;

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
