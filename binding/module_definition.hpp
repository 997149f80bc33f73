// SPDX-License-Identifier: MIT
// How each extension module registers: multi-phase initialisation with one
// exec slot, a state of strong references that the collector sees and that
// go with the module, heap types bound to the module and kept in its state,
// and __all__ listed name by name as the exec slot adds them.
//
// A state type lists its references with
//     template <class F> void each_reference(F f) noexcept
// calling f(PyObject*&) on each; a module without state uses NoState. A state
// that holds memory beyond its references frees it in `let_go() noexcept`,
// called as the module goes.
#pragma once

#include "call_error.hpp"
#include "py_ref.hpp"

#include <Python.h>

#include <type_traits>
#include <utility>

namespace tarnwick {

struct NoState {
    template <class F> void each_reference(F /*unused*/) noexcept {}
};

template <class State> [[nodiscard]] State& module_state(PyObject* module) noexcept {
    return *static_cast<State*>(PyModule_GetState(module));
}

template <class State> int traverse_state(PyObject* module, visitproc visit, void* arg) noexcept {
    int status = 0;
    module_state<State>(module).each_reference([&](PyObject*& reference) {
        if (status == 0 && reference != nullptr) {
            status = visit(reference, arg);
        }
    });
    return status;
}

template <class State> int clear_state(PyObject* module) noexcept {
    module_state<State>(module).each_reference([](PyObject*& reference) {
        // Dropped through OwnedRef, after the state no longer points at it.
        const OwnedRef dropped = OwnedRef::steal(std::exchange(reference, nullptr));
    });
    return 0;
}

template <class State> void free_state(void* module) noexcept {
    clear_state<State>(static_cast<PyObject*>(module));
    if constexpr (requires(State& state) { state.let_go(); }) {
        module_state<State>(static_cast<PyObject*>(module)).let_go();
    }
}

// The slots of a module whose exec function is `Exec`.
template <int (*Exec)(PyObject*) noexcept>
inline PyModuleDef_Slot exec_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(Exec)},
    {0, nullptr},
};

// The definition of a module of `State` (its size, and the collector's and
// the interpreter's hooks on it), for a static PyModuleDef, which must stay
// writable: the interpreter fills in its header during initialisation.
template <class State = NoState>
constexpr PyModuleDef module_definition(const char* name, const char* doc, PyMethodDef* methods,
                                        PyModuleDef_Slot* slots) noexcept {
    if constexpr (std::is_same_v<State, NoState>) {
        return {PyModuleDef_HEAD_INIT, name, doc, 0, methods, slots, nullptr, nullptr, nullptr};
    } else {
        return {PyModuleDef_HEAD_INIT,
                name,
                doc,
                sizeof(State),
                methods,
                slots,
                &traverse_state<State>,
                &clear_state<State>,
                &free_state<State>};
    }
}

// Lists `name` in the module's __all__, created as an empty list if the
// module has none; an error if __all__ is not a list.
[[nodiscard]] CallStatus list_in_all(PyObject* module, PyObject* name) noexcept;

// A heap type made from `spec` for `module`, kept (a new reference) in
// `kept` and added to the module under its name without the module's
// prefix; -1 with an exception set on failure.
[[nodiscard]] int add_type(PyObject* module, PyType_Spec* spec, PyObject*& kept) noexcept;

} // namespace tarnwick
