// SPDX-License-Identifier: MIT
#include "fatal.hpp"

#include <cstdio>
#include <cstdlib>

namespace tarnwick {

void fatal(const char* diagnostic) noexcept {
    std::fputs(diagnostic, stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    std::abort();
}

void allocation_failed(std::size_t bytes) noexcept {
    char diagnostic[64];
    std::snprintf(diagnostic, sizeof diagnostic, "memory allocation of %zu bytes failed", bytes);
    fatal(diagnostic);
}

void fatal_null_object() noexcept {
    if (PyErr_Occurred() != nullptr) {
        PyErr_WriteUnraisable(nullptr);
    }
    fatal("PyObject pointer is null");
}

} // namespace tarnwick
