// SPDX-License-Identifier: MIT
// A stream's attributes (value, bars, symbols, its parameters, seed and the
// other values of an indicator of several) and its repr.
#pragma once

#include "../binding/fatal.hpp"
#include "../binding/py_ref.hpp"
#include "../ndarray/row_output.hpp"
#include "many_symbols.hpp"
#include "object.hpp"
#include "pickle.hpp"

#include <Python.h>

#include <bit>
#include <cstdint>

namespace tarnwick::stream {

// A value per symbol: a float (None when NaN and `none_for_nan`) for one
// series, an array for many.
template <class I, class Value>
PyObject* per_symbol(PyObject* self, Value value, bool none_for_nan) noexcept {
    Stream<I>& s = stream_of<I>(self);
    if (!s.many) {
        double v = 0.0;
        {
            const Claim claim(s.busy);
            v = value(s.records[0]);
        }
        if (none_for_nan && v != v) {
            Py_RETURN_NONE;
        }
        return PyFloat_FromDouble(v);
    }
    return symbol_array(s, [&](std::size_t i) { return value(s.records[i]); });
}

template <class I> PyObject* get_value(PyObject* self, void* /*unused*/) noexcept {
    Stream<I>& s = stream_of<I>(self);
    if (!s.many && s.records[0].state.bars == 0) {
        Py_RETURN_NONE;
    }
    return per_symbol<I>(self, [](const Record<I>& r) { return r.value; }, false);
}

template <class I> PyObject* get_bars(PyObject* self, void* /*unused*/) noexcept {
    Stream<I>& s = stream_of<I>(self);
    if (!s.many) {
        const Claim claim(s.busy);
        return PyLong_FromUnsignedLongLong(s.records[0].state.bars);
    }
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(s.symbols)));
    if (!list) {
        return nullptr;
    }
    const Claim claim(s.busy);
    for (std::size_t i = 0; i < s.symbols; ++i) {
        PyObject* count = PyLong_FromUnsignedLongLong(s.records[i].state.bars);
        if (count == nullptr) {
            return nullptr;
        }
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), count);
    }
    return list.release();
}

template <class I> PyObject* get_symbols(PyObject* self, void* /*unused*/) noexcept {
    const Stream<I>& s = stream_of<I>(self);
    if (!s.many) {
        Py_RETURN_NONE;
    }
    return PyLong_FromSize_t(s.symbols);
}

// The symbols' keys: those of symbols=keys, 0 to N - 1 for symbols=N, None
// for one series.
template <class I> PyObject* get_keys(PyObject* self, void* /*unused*/) noexcept {
    const Stream<I>& s = stream_of<I>(self);
    if (s.keys != nullptr) {
        return OwnedRef::borrow(s.keys).release();
    }
    if (!s.many) {
        Py_RETURN_NONE;
    }
    OwnedRef keys = OwnedRef::steal(PyTuple_New(static_cast<Py_ssize_t>(s.symbols)));
    for (std::size_t i = 0; keys && i < s.symbols; ++i) {
        PyObject* key = PyLong_FromSize_t(i);
        if (key == nullptr) {
            return nullptr;
        }
        PyTuple_SetItem(keys.get(), static_cast<Py_ssize_t>(i), key);
    }
    return keys.release();
}

template <class I> PyObject* get_seed(PyObject* self, void* /*unused*/) noexcept {
    return per_symbol<I>(self, [](const Record<I>& r) { return r.state.seed; }, true);
}

// Value `field` of the last bar of the indicator's kin of several values
// (ManyValuedKin), read from the state that bar left: None (NaN for each
// symbol of many) before the first bar.
template <class I> PyObject* get_field(PyObject* self, void* field) noexcept {
    using Kin = ManyValuedKin<I>;
    using Kernel = typename Kin::type::template Kernel<TARNWICK_TARGET::OneLane>;
    const auto f = reinterpret_cast<std::uintptr_t>(field);
    Stream<I>& s = stream_of<I>(self);
    if (!s.many && s.records[0].state.bars == 0) {
        Py_RETURN_NONE;
    }
    return per_symbol<I>(
        self,
        [f](const Record<I>& r) {
            return r.state.bars == 0 ? quiet_nan : Kernel::value_of(r.state, r.value).value[f];
        },
        false);
}

// Scalar parameter `index`, as the stream was made with it (an array of one
// per symbol if it was given so).
template <class I> PyObject* get_parameter(PyObject* self, void* index) noexcept {
    const OwnedRef arguments = scalar_arguments(stream_of<I>(self));
    if (!arguments) {
        return nullptr;
    }
    PyObject* item = PyTuple_GetItem(arguments.get(), reinterpret_cast<Py_ssize_t>(index));
    return OwnedRef::borrow(item).release();
}

// The seed every symbol started from, or NaN until all have the same one.
template <class I> double common_seed(Stream<I>& s) noexcept {
    const Claim claim(s.busy);
    const double first = s.records[0].state.seed;
    for (std::size_t i = 1; i < s.symbols; ++i) {
        if (std::bit_cast<Word>(s.records[i].state.seed) != std::bit_cast<Word>(first)) {
            return quiet_nan;
        }
    }
    return first;
}

// "Adx(period=14)", with ", symbols=N" for many symbols (or their keys, when
// there are few enough to read at a glance): the call that makes a stream
// with these parameters. A GARCH stream adds its seed once it has
// one: with the parameters it fixes every value the stream gives. The bars
// seen are state that no argument sets, and stay in `bars`.
template <class I> PyObject* stream_repr(PyObject* self) noexcept {
    using L = Layout<I>;
    Stream<I>& s = stream_of<I>(self);
    const OwnedRef values = scalar_arguments(s);
    if (!values) {
        return nullptr;
    }
    const OwnedRef parts = OwnedRef::steal(created_or_abort(PyList_New(0)));
    for (std::size_t j = 0; j < L::scalars; ++j) {
        // Numbers one per symbol are too many to show.
        const char* name = I::parameters[L::series + j].name.data();
        const OwnedRef part = OwnedRef::steal(
            (s.given_per_symbol >> j & 1U) != 0
                ? PyUnicode_FromFormat("%s=<one per symbol>", name)
                : PyUnicode_FromFormat("%s=%R", name,
                                       PyTuple_GetItem(values.get(), static_cast<Py_ssize_t>(j))));
        if (!part || PyList_Append(parts.get(), part.get()) < 0) {
            return nullptr;
        }
    }
    if constexpr (L::takes_seed) {
        const double seed = common_seed(s);
        const OwnedRef value = OwnedRef::steal(PyFloat_FromDouble(seed));
        const OwnedRef part = seed == seed && value
                                  ? OwnedRef::steal(PyUnicode_FromFormat("seed=%R", value.get()))
                                  : OwnedRef();
        if (seed == seed && (!part || PyList_Append(parts.get(), part.get()) < 0)) {
            return nullptr;
        }
    }
    if (s.many) {
        constexpr std::size_t shown = 8;
        const OwnedRef part = OwnedRef::steal(
            s.keys == nullptr    ? PyUnicode_FromFormat("symbols=%zu", s.symbols)
            : s.symbols <= shown ? PyUnicode_FromFormat("symbols=%R", s.keys)
                                 : PyUnicode_FromFormat("symbols=<%zu keys>", s.symbols));
        if (!part || PyList_Append(parts.get(), part.get()) < 0) {
            return nullptr;
        }
    }
    const OwnedRef separator = OwnedRef::steal(created_or_abort(PyUnicode_FromString(", ")));
    const OwnedRef joined_parts = OwnedRef::steal(PyUnicode_Join(separator.get(), parts.get()));
    if (!joined_parts) {
        return nullptr;
    }
    return PyUnicode_FromFormat("%s(%U)", I::type_name.data(), joined_parts.get());
}

} // namespace tarnwick::stream
