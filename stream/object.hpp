// SPDX-License-Identifier: MIT
// The stream object of one indicator: its settings and parameters, one
// record per symbol and the claims on them; made and freed here.
#pragma once

#include "../binding/call_error.hpp"
#include "../binding/py_ref.hpp"
#include "../binding/text.hpp"
#include "claim.hpp"
#include "layout.hpp"
#include "record.hpp"

#include <Python.h>

#include <cstddef>
#include <cstdlib>
#include <new>
#include <utility>

namespace tarnwick::stream {

// A symbol's own numbers: its settings, and the parameters they were made
// from.
template <class I> struct SymbolNumbers {
    typename I::Settings settings;
    typename ScalarsOf<I>::type scalars;
};

template <class I> struct Stream {
    PyObject_HEAD typename I::Settings settings;
    typename ScalarsOf<I>::type scalars;
    SymbolNumbers<I>* own;     // one per symbol when numbers were given so, owned; else null
    unsigned given_per_symbol; // bit j: scalar parameter j was given one per symbol
    Record<I>* records;        // one per symbol, owned
    std::size_t symbols;       // 1 for a one-series stream
    bool many;                 // made with symbols=N: takes and gives arrays
    PyObject* ndarray;         // numpy's array type when many, owned
    PyObject* keys;            // made with symbols=keys: their tuple, owned; else null
    PyObject* places;          // and a dict from each key to its symbol, owned
    ClaimQueue busy;           // the claims on the records
};

template <class I> Stream<I>& stream_of(PyObject* self) noexcept {
    return *reinterpret_cast<Stream<I>*>(self);
}

// The settings symbol `symbol` steps with: its own, or the stream's.
template <class I>
const typename I::Settings& settings_of(const Stream<I>& s, std::size_t symbol) noexcept {
    if constexpr (Layout<I>::numbers_per_symbol) {
        if (s.own != nullptr) {
            return s.own[symbol].settings;
        }
    }
    return s.settings;
}

// Symbol numbers for `symbols` symbols, or null with MemoryError set.
template <class I> SymbolNumbers<I>* allocate_numbers(std::size_t symbols) noexcept {
    auto* own =
        symbols > PY_SSIZE_T_MAX / sizeof(SymbolNumbers<I>)
            ? nullptr
            : static_cast<SymbolNumbers<I>*>(std::malloc(sizeof(SymbolNumbers<I>) * symbols));
    if (own == nullptr) {
        PyErr_NoMemory();
    }
    return own;
}

// A new, empty object of the stream's type, or null with MemoryError set;
// `symbols` records, each in its fresh state.
template <class I> OwnedRef allocate(PyTypeObject* type, std::size_t symbols) noexcept {
    if (symbols > PY_SSIZE_T_MAX / sizeof(Record<I>)) {
        PyErr_NoMemory();
        return {};
    }
    auto* records = static_cast<Record<I>*>(std::malloc(sizeof(Record<I>) * symbols + 1));
    if (records == nullptr) {
        PyErr_NoMemory();
        return {};
    }
    for (std::size_t i = 0; i < symbols; ++i) {
        new (&records[i]) Record<I>{};
    }
    const auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    OwnedRef self = OwnedRef::steal(alloc(type, 0));
    if (!self) {
        std::free(records);
        return {};
    }
    Stream<I>& s = stream_of<I>(self.get());
    new (&s.settings) typename I::Settings{};
    new (&s.scalars) typename ScalarsOf<I>::type{};
    s.records = records;
    s.own = nullptr;
    s.given_per_symbol = 0;
    s.symbols = symbols;
    s.many = false;
    s.ndarray = nullptr;
    s.keys = nullptr;
    s.places = nullptr;
    new (&s.busy) ClaimQueue();
    return self;
}

template <class I> void stream_dealloc(PyObject* self) noexcept {
    Stream<I>& s = stream_of<I>(self);
    std::free(s.records);
    std::free(s.own);
    const OwnedRef ndarray = OwnedRef::steal(std::exchange(s.ndarray, nullptr));
    const OwnedRef keys = OwnedRef::steal(std::exchange(s.keys, nullptr));
    const OwnedRef places = OwnedRef::steal(std::exchange(s.places, nullptr));
    PyTypeObject* type = Py_TYPE(self);
    const auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

inline CallError value_error(Text message) noexcept {
    return CallError::pending(PyExc_ValueError, std::move(message));
}

} // namespace tarnwick::stream
