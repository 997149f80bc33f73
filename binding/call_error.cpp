// SPDX-License-Identifier: MIT
#include "call_error.hpp"

#include "cached.hpp"
#include "fatal.hpp"

#include <utility>

// Fetching and restoring the error indicator as separate type, value and
// traceback is the stable ABI's only way to do it before 3.12; newer headers
// mark these calls deprecated.
#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif

namespace tarnwick {

OwnedRef new_str(std::string_view text) noexcept {
    return OwnedRef::steal(created_or_abort(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
}

CallError CallError::pending(PyObject* type, Text message) noexcept {
    CallError error;
    error.pending_type_ = type;
    error.message_ = std::move(message);
    return error;
}

CallError CallError::fetch() noexcept {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return pending(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    CallError error;
    error.type_ = OwnedRef::steal(type);
    error.value_ = OwnedRef::steal(value);
    error.traceback_ = OwnedRef::steal(traceback);
    return error;
}

bool CallError::matches(PyObject* type) const noexcept {
    PyObject* own = pending_type_ != nullptr ? pending_type_ : type_.get();
    return PyErr_GivenExceptionMatches(own, type) != 0;
}

PyObject* CallError::instance() noexcept {
    if (pending_type_ != nullptr) {
        std::move(*this).raise();
        *this = fetch();
    }
    PyObject* type = type_.release();
    PyObject* value = value_.release();
    PyObject* traceback = traceback_.release();
    PyErr_NormalizeException(&type, &value, &traceback);
    type_ = OwnedRef::steal(type);
    value_ = OwnedRef::steal(value);
    traceback_ = OwnedRef::steal(traceback);
    return value;
}

void CallError::raise() && noexcept {
    if (pending_type_ != nullptr) {
        const OwnedRef message = new_str(message_);
        PyErr_SetObject(pending_type_, message.get());
        pending_type_ = nullptr;
        return;
    }
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

CallError argument_extraction_error(std::string_view parameter, CallError error) noexcept {
    Text note = "while processing '";
    note += parameter;
    note += '\'';
    PyObject* exception = error.instance();
    // An exception whose class hides or breaks add_note goes out without the
    // note rather than being replaced by that failure.
    const OwnedRef add_note =
        OwnedRef::steal(PyObject_GetAttr(exception, name_of_add_note().get()));
    if (!add_note) {
        PyErr_Clear();
        return error;
    }
    const OwnedRef args = OwnedRef::steal(created_or_abort(PyTuple_New(1)));
    PyTuple_SetItem(args.get(), 0, new_str(note).release());
    if (!OwnedRef::steal(PyObject_Call(add_note.get(), args.get(), nullptr))) {
        PyErr_Clear();
    }
    return error;
}

Text type_qualname(PyObject* type) noexcept {
    const OwnedRef qualname = OwnedRef::steal(PyObject_GetAttr(type, name_of_qualname().get()));
    if (qualname && (PyType_GetFlags(Py_TYPE(qualname.get())) & Py_TPFLAGS_UNICODE_SUBCLASS)) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(qualname.get(), &size)) {
            return Text(utf8, static_cast<std::size_t>(size));
        }
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

CallError cast_error(PyObject* object, PyObject* target_type) noexcept {
    Text message;
    if (object == Py_None) {
        message = "'None' is not an instance of '";
    } else {
        message = "'";
        message += type_qualname(reinterpret_cast<PyObject*>(Py_TYPE(object)));
        message += "' object is not an instance of '";
    }
    message += type_qualname(target_type);
    message += '\'';
    return CallError::pending(PyExc_TypeError, std::move(message));
}

} // namespace tarnwick
