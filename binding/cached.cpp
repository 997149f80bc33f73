// SPDX-License-Identifier: MIT
#include "cached.hpp"

#include "fatal.hpp"
#include "py_ref.hpp"

namespace tarnwick {

PyObject* ProcessCache::make_and_publish() noexcept {
    PyObject* made = make_();
    if (made == nullptr) {
        return nullptr;
    }
    PyObject* published = nullptr;
    if (value_.compare_exchange_strong(published, made, std::memory_order_acq_rel,
                                       std::memory_order_acquire)) {
        return made;
    }
    // Another thread, or a call re-entered from the Python code that making
    // ran, published the same object first.
    Py_DECREF(made);
    return published;
}

namespace {

template <const char* Text> PyObject* make_interned() noexcept {
    PyObject* name = created_or_abort(PyUnicode_FromString(Text));
    PyUnicode_InternInPlace(&name);
    return name;
}

constexpr char dunder_name[] = "__name__";
constexpr char dunder_all[] = "__all__";
constexpr char add_note[] = "add_note";
constexpr char dunder_qualname[] = "__qualname__";

constinit ProcessCache cached_name{make_interned<dunder_name>};
constinit ProcessCache cached_all{make_interned<dunder_all>};
constinit ProcessCache cached_add_note{make_interned<add_note>};
constinit ProcessCache cached_qualname{make_interned<dunder_qualname>};

PyObject* import_sequence_abc() noexcept {
    const OwnedRef module_name =
        OwnedRef::steal(created_or_abort(PyUnicode_FromString("collections.abc")));
    const OwnedRef module = OwnedRef::steal(PyImport_Import(module_name.get()));
    if (!module) {
        return nullptr;
    }
    OwnedRef sequence = OwnedRef::steal(PyObject_GetAttrString(module.get(), "Sequence"));
    if (!sequence) {
        return nullptr;
    }
    if ((PyType_GetFlags(Py_TYPE(sequence.get())) & Py_TPFLAGS_TYPE_SUBCLASS) == 0) {
        PyErr_SetString(PyExc_TypeError, "collections.abc.Sequence is not a type");
        return nullptr;
    }
    return sequence.release();
}

constinit ProcessCache cached_sequence{import_sequence_abc};

} // namespace

PyObject* name_of_name() noexcept {
    return cached_name.get();
}
PyObject* name_of_all() noexcept {
    return cached_all.get();
}
PyObject* name_of_add_note() noexcept {
    return cached_add_note.get();
}
PyObject* name_of_qualname() noexcept {
    return cached_qualname.get();
}
PyObject* sequence_abc() noexcept {
    return cached_sequence.get();
}

} // namespace tarnwick
