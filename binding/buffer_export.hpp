// SPDX-License-Identifier: MIT
// BufferExport: owns one export of an object's buffer, from a successful
// PyObject_GetBuffer until it is released or destroyed.
//
// A Py_buffer is not a value that can be copied: its `shape` and `strides`
// may point into the exporter's own storage or into the struct itself (a
// simple exporter points `shape` at `len`), and the exporter is handed back
// the same struct on release. So the struct lives in this owner, which can be
// neither copied nor moved, and is read only through it while it is held.
#pragma once

#include <Python.h>

#include <utility>

namespace tarnwick {

class BufferExport {
  public:
    BufferExport() noexcept = default;
    BufferExport(const BufferExport&) = delete;
    BufferExport& operator=(const BufferExport&) = delete;
    ~BufferExport() { release(); }

    // Exports `object`'s buffer with `flags`, letting go of any earlier
    // export first. On failure the exporter's exception is left set and
    // nothing is held.
    [[nodiscard]] bool acquire(PyObject* object, int flags) noexcept {
        release();
        held_ = PyObject_GetBuffer(object, &view_, flags) == 0;
        return held_;
    }

    // The same, clearing the exporter's exception on failure: for callers
    // that then take another route.
    [[nodiscard]] bool try_acquire(PyObject* object, int flags) noexcept {
        if (acquire(object, flags)) {
            return true;
        }
        PyErr_Clear();
        return false;
    }

    void release() noexcept {
        if (std::exchange(held_, false)) {
            PyBuffer_Release(&view_);
        }
    }

    [[nodiscard]] bool held() const noexcept { return held_; }
    explicit operator bool() const noexcept { return held_; }
    // Only while held.
    [[nodiscard]] const Py_buffer& view() const noexcept { return view_; }

  private:
    Py_buffer view_{};
    bool held_ = false;
};

} // namespace tarnwick
