// SPDX-License-Identifier: MIT
// Values made on first need and kept for the life of the process.
//
// Each is made at most once, under its own lock. A thread that finds the value
// missing lets go of the interpreter lock before it takes that lock, so a
// thread waiting for another thread's initialisation never holds the
// interpreter lock, and the thread doing the work takes the interpreter lock
// back only to make the value. Once made, a value is read without any lock.
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>

namespace tarnwick {

class ProcessCache {
  public:
    // Returns a new reference, or null with an exception set.
    using Make = PyObject* (*)() noexcept;

    constexpr explicit ProcessCache(Make make) noexcept : make_(make) {}

    // A borrowed reference, or null with an exception set if making it failed
    // (a later call tries again).
    [[nodiscard]] PyObject* get() noexcept {
        PyObject* value = value_.load(std::memory_order_acquire);
        return value != nullptr ? value : make_once();
    }

  private:
    PyObject* make_once() noexcept;

    Make make_;
    std::atomic<PyObject*> value_{nullptr};
    std::mutex mutex_;
};

// Interned attribute names.
[[nodiscard]] PyObject* name_of_name() noexcept;     // "__name__"
[[nodiscard]] PyObject* name_of_all() noexcept;      // "__all__"
[[nodiscard]] PyObject* name_of_add_note() noexcept; // "add_note"
[[nodiscard]] PyObject* name_of_qualname() noexcept; // "__qualname__"

// collections.abc.Sequence, or null with the import's exception set.
[[nodiscard]] PyObject* sequence_abc() noexcept;

} // namespace tarnwick
