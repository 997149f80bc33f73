// SPDX-License-Identifier: MIT
// Values made on first need and kept for the life of the process.
//
// Each is made at most once per process. Making one may run Python code (the
// import of collections.abc goes through builtins.__import__ and any import
// hooks, and may be slow), so a value is not made by whoever finds it
// missing: the first thread claims it and makes it with the interpreter lock
// held, and a thread that needs it meanwhile lets go of the interpreter lock
// and waits for the claim to end, then uses the stored value. If making fails
// the claim ends without a value, and the waiters try again, one at a time.
// Once stored, a value is read without waiting.
//
// Three callers cannot wait, since the claiming thread would never end the
// claim for them: the claiming thread itself, called back from the Python code
// that making runs; a child forked while another thread held the claim (that
// thread does not exist in the child, so the child takes the claim over); and
// the thread finalizing the interpreter, since the claiming thread may be a
// daemon thread ended at exit. The first makes the value for its own use, not
// stored, and so does the last; every value is a canonical object (an
// interned string, the type that collections.abc holds), so every caller sees
// the same object either way.
#pragma once

#include <Python.h>

#include "py_ref.hpp"

#include <atomic>

namespace tarnwick {

class ProcessCache {
  public:
    // Returns a new reference, or null with an exception set.
    using Make = PyObject* (*)() noexcept;

    constexpr explicit ProcessCache(Make make) noexcept : make_(make) {}

    // The value, or null with an exception set if making it failed (a later
    // call tries again).
    [[nodiscard]] OwnedRef get() noexcept {
        PyObject* value = value_.load(std::memory_order_acquire);
        return value != nullptr ? OwnedRef::borrow(value) : make_once();
    }

  private:
    OwnedRef make_once() noexcept;
    OwnedRef make_claimed(unsigned long thread) noexcept;
    void wait_while_claimed_by(unsigned long thread) noexcept;

    Make make_;
    std::atomic<PyObject*> value_{nullptr};
    // The claim: the claiming thread's identifier (0 when unclaimed) and the
    // process it claimed in. Both change only with the interpreter lock held,
    // so a fork, which holds it too, never copies one without the other.
    std::atomic<unsigned long> owner_{0};
    std::atomic<long> owner_process_{0};
};

// Interned attribute names.
[[nodiscard]] OwnedRef name_of_name() noexcept;     // "__name__"
[[nodiscard]] OwnedRef name_of_all() noexcept;      // "__all__"
[[nodiscard]] OwnedRef name_of_add_note() noexcept; // "add_note"
[[nodiscard]] OwnedRef name_of_qualname() noexcept; // "__qualname__"

// collections.abc.Sequence, or null with the import's exception set.
[[nodiscard]] OwnedRef sequence_abc() noexcept;

} // namespace tarnwick
