// SPDX-License-Identifier: MIT
// A stream's pickle: (_restore, (type, version, parameters, symbols, record
// as little-endian words)), the same bytes on every platform, and the
// records loaded back from it. `symbols` is None for one series, N, or from
// version 2 on the tuple of the symbols' keys; from version 3 on, a
// parameter may be a float64 array of one per symbol. Older records still
// load.
#pragma once

#include "../binding/fatal.hpp"
#include "../binding/py_ref.hpp"
#include "many_symbols.hpp"
#include "object.hpp"
#include "record.hpp"

#include <Python.h>

#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

namespace tarnwick::stream {

// The newest version this release reads. A stream writes the oldest that
// holds it: 3 only for numbers given one per symbol (arrays among the
// parameters), so a release before them reads every other stream.
constexpr long pickle_version = 3;

// The construction arguments: the scalar parameters as Python numbers, a
// float64 array of one per symbol for each given so; null with an error set
// when memory for an array cannot be had.
template <class I> OwnedRef scalar_arguments(Stream<I>& s) noexcept {
    return [&]<std::size_t... J>(std::index_sequence<J...>) {
        OwnedRef tuple = OwnedRef::steal(created_or_abort(PyTuple_New(sizeof...(J))));
        const auto put = [&]<std::size_t j>(std::integral_constant<std::size_t, j>) {
            using Value = std::tuple_element_t<j, typename ScalarsOf<I>::type>;
            const Value value = std::get<j>(s.scalars);
            PyObject* item = nullptr;
            if constexpr (std::is_same_v<Value, double>) {
                item = (s.given_per_symbol >> j & 1U) != 0
                           ? symbol_array(
                                 s, [&](std::size_t i) { return std::get<j>(s.own[i].scalars); })
                           : created_or_abort(PyFloat_FromDouble(value));
            } else {
                item = created_or_abort(PyLong_FromUnsignedLongLong(value));
            }
            PyTuple_SetItem(tuple.get(), j, item);
            return item != nullptr;
        };
        return (put(std::integral_constant<std::size_t, J>{}) && ...) ? std::move(tuple)
                                                                      : OwnedRef();
    }(std::make_index_sequence<Layout<I>::scalars>{});
}

template <class I> PyObject* stream_reduce(PyObject* self, PyObject* /*unused*/) noexcept {
    PyObject* module = PyType_GetModule(Py_TYPE(self));
    if (module == nullptr) {
        return nullptr;
    }
    const OwnedRef restore = OwnedRef::steal(PyObject_GetAttrString(module, "_restore"));
    if (!restore) {
        return nullptr;
    }
    Stream<I>& s = stream_of<I>(self);
    constexpr std::size_t words = words_per_record<I>;
    const std::size_t size = s.symbols * words * 8;
    OwnedRef bytes =
        OwnedRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!bytes) {
        return nullptr;
    }
    auto* out = reinterpret_cast<unsigned char*>(PyBytes_AsString(bytes.get()));
    {
        const Claim claim(s.busy);
        for (std::size_t i = 0; i < s.symbols; ++i) {
            Word w[words];
            record_to_words(s.records[i], w);
            for (std::size_t j = 0; j < words; ++j) {
                for (std::size_t b = 0; b < 8; ++b) {
                    *out++ = static_cast<unsigned char>(w[j] >> (8 * b));
                }
            }
        }
    }
    const OwnedRef arguments = scalar_arguments(s);
    if (!arguments) {
        return nullptr;
    }
    const OwnedRef symbols = s.keys != nullptr ? OwnedRef::borrow(s.keys)
                             : s.many
                                 ? OwnedRef::steal(created_or_abort(PyLong_FromSize_t(s.symbols)))
                                 : OwnedRef::borrow(Py_None);
    return Py_BuildValue("(O(OlOOO))", restore.get(), reinterpret_cast<PyObject*>(Py_TYPE(self)),
                         s.given_per_symbol != 0 ? pickle_version : 2L, arguments.get(),
                         symbols.get(), bytes.get());
}

// Loads pickled records into a stream just made from the pickled
// parameters; false if the bytes are not records of this type.
template <class I> bool load_records(PyObject* stream, const unsigned char* data) noexcept {
    Stream<I>& s = stream_of<I>(stream);
    constexpr std::size_t words = words_per_record<I>;
    for (std::size_t i = 0; i < s.symbols; ++i) {
        Word w[words] = {};
        for (std::size_t j = 0; j < words; ++j) {
            for (std::size_t b = 0; b < 8; ++b) {
                w[j] |= Word{*data++} << (8 * b);
            }
        }
        if (!record_from_words(s.records[i], w) ||
            !s.records[i].state.reachable(s.records[i].value)) {
            return false;
        }
    }
    return true;
}

} // namespace tarnwick::stream
