// SPDX-License-Identifier: MIT
// ResizeGuard: keeps the numpy arrays whose memory a call reads or writes
// without the interpreter lock from being resized until the call ends.
//
// An export of an ndarray's buffer does not stop another thread from
// resizing it: resize(refcheck=False) frees the memory under the reader.
// numpy does refuse to resize an array that has a weak reference, so the
// guard holds one (O(1)) to the array that owns the memory: walking an
// ndarray's `base`, and a memoryview's `obj`, to the end, a view h[::2]
// guards h itself. The weak references are let go when the guard is
// destroyed, with the lock held again. Other exporters (bytes, bytearray,
// array.array, mmap) already refuse to resize or close while exported.
//
// Not guarded either: the object at the end of a chain of bases that is not
// an array (the mmap of a numpy.memmap, the bytearray of
// np.ndarray(buffer=...)): numpy keeps only a reference to it, no export,
// so closing or resizing it is unsafe for numpy's own reads as well.
//
// Not guarded: ndarray.__setstate__ replaces an array's data even with a
// weak reference or an export held; numpy's own memoryviews are unsafe
// there too, and no export can prevent it.
#pragma once

#include "call_error.hpp"
#include "py_ref.hpp"

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>

namespace tarnwick {

class ResizeGuard {
  public:
    // The most exports one call guards: its series and its `out`.
    static constexpr std::size_t capacity = 8;

    ResizeGuard() noexcept = default;
    ResizeGuard(const ResizeGuard&) = delete;
    ResizeGuard& operator=(const ResizeGuard&) = delete;

    // Guards the memory of each of `exporters` (null ones are passed over),
    // whose buffers the call holds exported, `ndarray` being numpy's ndarray
    // type. The collector is held off meanwhile, so that no finalizer can
    // resize an array not yet guarded. The error, if a weak reference or
    // the walk to an owner failed, or there are more than `capacity`.
    [[nodiscard]] CallStatus hold(std::span<PyObject* const> exporters, PyObject* ndarray) noexcept;

  private:
    [[nodiscard]] CallStatus hold_one(PyObject* exporter, PyObject* ndarray) noexcept;

    std::array<OwnedRef, capacity> held_;
    std::size_t count_ = 0;
};

} // namespace tarnwick
