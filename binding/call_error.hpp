// SPDX-License-Identifier: MIT
// CallError: an error on its way to the caller of a module function.
//
// It is either pending (an exception type and a message, instantiated only
// when raised or when its object is needed) or taken (an exception the
// interpreter raised, moved out of the error indicator). Whoever holds a
// CallError owns it; raising it hands it back to the interpreter.
#pragma once

#include "../indicators/status.hpp"
#include "py_ref.hpp"
#include "text.hpp"

#include <Python.h>

#include <cstddef>
#include <string_view>
#include <utility>

namespace tarnwick {

class CallError {
  public:
    // `type` is one of the interpreter's static exception classes.
    [[nodiscard]] static CallError pending(PyObject* type, Text message) noexcept;
    // Takes the exception out of the error indicator; a SystemError if none is set.
    [[nodiscard]] static CallError fetch() noexcept;

    // Whether the exception is an instance of `type` or of a subclass.
    [[nodiscard]] bool matches(PyObject* type) const noexcept;

    // The exception object, instantiating a pending exception as raising would.
    [[nodiscard]] PyObject* instance() noexcept;

    // Puts the error into the interpreter's error indicator.
    void raise() && noexcept;

  private:
    CallError() noexcept = default;

    PyObject* pending_type_ = nullptr; // borrowed: a static exception class
    Text message_;
    OwnedRef type_;
    OwnedRef value_;
    OwnedRef traceback_;
};

// How a step of a call went: ok or its error; a value or its error.
using CallStatus = Status<CallError>;
template <class T> using CallResult = Result<T, CallError>;

// Raises `error` and gives the null that an entry then returns.
[[nodiscard]] inline std::nullptr_t raised(CallError error) noexcept {
    std::move(error).raise();
    return nullptr;
}

// Adds the note "while processing '{parameter}'" to the exception (through its
// add_note) and hands the same error back.
[[nodiscard]] CallError argument_extraction_error(std::string_view parameter,
                                                  CallError error) noexcept;

// TypeError "'{type}' object is not an instance of '{target}'", or
// "'None' is not an instance of '{target}'", with {target} the target type's
// __qualname__.
[[nodiscard]] CallError cast_error(PyObject* object, PyObject* target_type) noexcept;

// The __qualname__ of `type` as text, or "<failed to extract type name>".
[[nodiscard]] Text type_qualname(PyObject* type) noexcept;

// A new str from UTF-8 text; ends the process if it cannot be created.
[[nodiscard]] OwnedRef new_str(std::string_view text) noexcept;

} // namespace tarnwick
