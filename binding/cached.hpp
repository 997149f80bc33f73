// SPDX-License-Identifier: MIT
// Values made on first need and kept for the life of the process.
//
// A value is made with the interpreter lock held, and making it may run
// Python code (the import of collections.abc goes through builtins.__import__
// and any import hooks), which may let other threads run or call back into
// this module from the same thread. So nothing here waits: whoever finds the
// value missing makes it, and the first to finish publishes it. Every value is
// a canonical object (an interned string, the type that collections.abc
// holds), so a thread that loses the race drops an equal reference and uses
// the published one, and every caller sees the same object. Without a lock
// there is nothing for a re-entrant first use to deadlock on, and nothing
// left held in a child forked while another thread was making a value.
#pragma once

#include <Python.h>

#include <atomic>

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
        return value != nullptr ? value : make_and_publish();
    }

  private:
    PyObject* make_and_publish() noexcept;

    Make make_;
    std::atomic<PyObject*> value_{nullptr};
};

// Interned attribute names.
[[nodiscard]] PyObject* name_of_name() noexcept;     // "__name__"
[[nodiscard]] PyObject* name_of_all() noexcept;      // "__all__"
[[nodiscard]] PyObject* name_of_add_note() noexcept; // "add_note"
[[nodiscard]] PyObject* name_of_qualname() noexcept; // "__qualname__"

// collections.abc.Sequence, or null with the import's exception set.
[[nodiscard]] PyObject* sequence_abc() noexcept;

} // namespace tarnwick
