// SPDX-License-Identifier: MIT
#include "columns.hpp"

#include "../binding/buffer_export.hpp"
#include "../binding/py_ref.hpp"
#include "../binding/text.hpp"
#include "../ndarray/array_series.hpp"
#include "../ndarray/numpy_type.hpp"

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>

namespace tarnwick::arrays {

namespace {

bool defined_in_column_library(PyObject* type) noexcept {
    const OwnedRef module = OwnedRef::steal(PyObject_GetAttrString(type, "__module__"));
    PyErr_Clear();
    Py_ssize_t size = 0;
    const char* text = module && PyUnicode_Check(module.get())
                           ? PyUnicode_AsUTF8AndSize(module.get(), &size)
                           : nullptr;
    PyErr_Clear();
    if (text == nullptr) {
        return false;
    }
    const std::string_view name(text, static_cast<std::size_t>(size));
    constexpr std::array<std::string_view, 3> libraries = {"pandas", "polars", "pyarrow"};
    for (const std::string_view library : libraries) {
        if (name.starts_with(library) &&
            (name.size() == library.size() || name[library.size()] == '.')) {
            return true;
        }
    }
    return false;
}

// The type or one of its bases: a caller's subclass of a Series or frame is
// still one.
bool from_column_library(PyObject* type) noexcept {
    const OwnedRef bases = OwnedRef::steal(PyObject_GetAttrString(type, "__mro__"));
    if (!bases || !PyTuple_Check(bases.get())) {
        PyErr_Clear();
        return defined_in_column_library(type);
    }
    for (Py_ssize_t i = 0; i < PyTuple_Size(bases.get()); ++i) {
        if (defined_in_column_library(PyTuple_GetItem(bases.get(), i))) {
            return true;
        }
    }
    return false;
}

bool exports_arrow(PyObject* object) noexcept {
    // PyObject_HasAttrString swallows whatever the lookup raises.
    return PyObject_HasAttrString(object, "__arrow_c_array__") == 1 ||
           PyObject_HasAttrString(object, "__arrow_c_stream__") == 1;
}

PyObject* frames_module(ModuleState& state) noexcept {
    if (state.frames != nullptr) {
        return state.frames;
    }
    OwnedRef frames = import_module(
        "tarnwick_frames",
        "tarnwick_arrays needs tarnwick_frames for pandas, polars and Arrow columns: pip install "
        "'tarnwick[frames]'");
    if (!frames) {
        return nullptr;
    }
    // Another thread may have imported it meanwhile: the first one stays.
    if (state.frames == nullptr) {
        state.frames = frames.release();
    }
    return state.frames;
}

OwnedRef str_of(std::string_view text) noexcept {
    return OwnedRef::steal(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

} // namespace

bool is_column_container(PyObject* object, PyObject* ndarray) noexcept {
    auto* type = Py_TYPE(object);
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object) ||
        reinterpret_cast<PyObject*>(type) == ndarray ||
        PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(ndarray)) ||
        PyObject_CheckBuffer(object)) {
        return false;
    }
    return from_column_library(reinterpret_cast<PyObject*>(type)) || exports_arrow(object);
}

CallStatus unwrap_columns(ModuleState& state, const FunctionDescription& d, std::size_t series,
                          std::span<PyObject*> slots, UnwrappedCall& call) noexcept {
    PyObject* frames = frames_module(state);
    if (frames == nullptr) {
        return CallError::fetch();
    }
    const OwnedRef held = OwnedRef::borrow(frames);
    const std::size_t positional = d.positional_count();
    call.positional = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(positional)));
    call.options = OwnedRef::steal(PyDict_New());
    const OwnedRef names = OwnedRef::steal(PyTuple_New(static_cast<Py_ssize_t>(series)));
    if (!call.positional || !call.options || !names) {
        return CallError::fetch();
    }
    for (std::size_t i = 0; i < positional; ++i) {
        if (PyList_SetItem(call.positional.get(), static_cast<Py_ssize_t>(i),
                           OwnedRef::borrow(slots[i]).release()) < 0) {
            return CallError::fetch();
        }
    }
    for (std::size_t i = 0; i < series; ++i) {
        OwnedRef name = str_of(d.parameter_names[i]);
        if (!name || PyTuple_SetItem(names.get(), static_cast<Py_ssize_t>(i), name.release()) < 0) {
            return CallError::fetch();
        }
    }
    for (std::size_t i = positional; i < slots.size(); ++i) {
        const OwnedRef key = slots[i] != nullptr ? str_of(d.parameter_names[i]) : OwnedRef();
        if (slots[i] != nullptr &&
            (!key || PyDict_SetItem(call.options.get(), key.get(), slots[i]) < 0)) {
            return CallError::fetch();
        }
    }
    const OwnedRef unwrap = OwnedRef::steal(PyObject_GetAttrString(held.get(), "_unwrap"));
    const OwnedRef function = str_of(d.function_name);
    if (!unwrap || !function) {
        return CallError::fetch();
    }
    call.finish = OwnedRef::steal(PyObject_CallFunctionObjArgs(unwrap.get(), function.get(),
                                                               names.get(), call.positional.get(),
                                                               call.options.get(), nullptr));
    if (!call.finish) {
        return CallError::fetch();
    }
    // The list keeps its length: each series is replaced, never removed.
    for (std::size_t i = 0; i < positional; ++i) {
        slots[i] = PyList_GetItem(call.positional.get(), static_cast<Py_ssize_t>(i));
        if (slots[i] == nullptr) {
            return CallError::fetch();
        }
    }
    for (std::size_t i = positional; i < slots.size(); ++i) {
        if (slots[i] == nullptr) {
            continue; // left out, and so it stays
        }
        const OwnedRef key = str_of(d.parameter_names[i]);
        slots[i] = key ? PyDict_GetItemWithError(call.options.get(), key.get()) : nullptr;
        if (slots[i] == nullptr && PyErr_Occurred() != nullptr) {
            return CallError::fetch();
        }
    }
    return CallStatus::ok();
}

PyObject* wrap_result(const UnwrappedCall& call, PyObject* result) noexcept {
    const OwnedRef owned = OwnedRef::steal(result);
    return owned ? PyObject_CallFunctionObjArgs(call.finish.get(), owned.get(), nullptr) : nullptr;
}

namespace {

// Whether reading `by` as codes runs only numpy's own code: an ndarray of
// numbers or text, not of objects.
bool numpy_keys(PyObject* by, PyObject* ndarray) noexcept {
    if (reinterpret_cast<PyObject*>(Py_TYPE(by)) != ndarray) {
        return false;
    }
    const OwnedRef dtype = OwnedRef::steal(PyObject_GetAttrString(by, "dtype"));
    const OwnedRef kind =
        dtype ? OwnedRef::steal(PyObject_GetAttrString(dtype.get(), "kind")) : OwnedRef();
    const bool objects = !kind || !PyUnicode_Check(kind.get()) ||
                         PyUnicode_CompareWithASCIIString(kind.get(), "O") == 0;
    PyErr_Clear();
    return !objects;
}

} // namespace

CallStatus group_rows(ModuleState& state, std::string_view function, PyObject* by,
                      std::size_t length, InPlaceSeries& in_place, Groups& groups) noexcept {
    if (!numpy_keys(by, state.ndarray)) {
        in_place.before_python_code();
    }
    if (frames_module(state) == nullptr) {
        return CallError::fetch();
    }
    const OwnedRef module = OwnedRef::steal(PyImport_ImportModule("tarnwick_frames._groups"));
    const OwnedRef codes_of =
        module ? OwnedRef::steal(PyObject_GetAttrString(module.get(), "_group_codes")) : OwnedRef();
    const OwnedRef name = OwnedRef::steal(
        PyUnicode_FromStringAndSize(function.data(), static_cast<Py_ssize_t>(function.size())));
    const OwnedRef rows = OwnedRef::steal(PyLong_FromSize_t(length));
    if (!codes_of || !name || !rows) {
        return CallError::fetch();
    }
    const OwnedRef codes = OwnedRef::steal(
        PyObject_CallFunctionObjArgs(codes_of.get(), name.get(), by, rows.get(), nullptr));
    BufferExport view;
    if (!codes || !view.acquire(codes.get(), PyBUF_C_CONTIGUOUS)) {
        return CallError::fetch();
    }
    const std::span<const std::int64_t> keys(static_cast<const std::int64_t*>(view.view().buf),
                                             static_cast<std::size_t>(view.view().len) /
                                                 sizeof(std::int64_t));
    if (!groups.make(keys)) {
        Text message = call_message(function);
        message += "cannot allocate the groups of 'by'";
        return CallError::pending(PyExc_MemoryError, std::move(message));
    }
    return CallStatus::ok();
}

} // namespace tarnwick::arrays
