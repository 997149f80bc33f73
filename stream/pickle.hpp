// SPDX-License-Identifier: MIT
// A stream's pickle: (_restore, (type, version, parameters, symbols, record
// as little-endian words)), the same bytes on every platform, and the
// records loaded back from it. `symbols` is None for one series, N, or from
// version 2 on the tuple of the symbols' keys; version 1 records still load.
#pragma once

#include "../binding/fatal.hpp"
#include "../binding/py_ref.hpp"
#include "object.hpp"
#include "record.hpp"

#include <Python.h>

#include <cstddef>
#include <tuple>
#include <type_traits>

namespace tarnwick::stream {

constexpr long pickle_version = 2;

// The construction arguments: the scalar parameters as Python numbers.
template <class I> OwnedRef scalar_arguments(const Stream<I>& s) noexcept {
    return std::apply(
        [](auto... scalar) {
            OwnedRef tuple = OwnedRef::steal(created_or_abort(PyTuple_New(sizeof...(scalar))));
            Py_ssize_t i = 0;
            const auto put = [&](auto value) {
                PyObject* item = nullptr;
                if constexpr (std::is_same_v<decltype(value), double>) {
                    item = PyFloat_FromDouble(value);
                } else {
                    item = PyLong_FromUnsignedLongLong(value);
                }
                PyTuple_SetItem(tuple.get(), i++, created_or_abort(item));
            };
            (put(scalar), ...);
            return tuple;
        },
        s.scalars);
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
    const OwnedRef symbols = s.keys != nullptr ? OwnedRef::borrow(s.keys)
                             : s.many
                                 ? OwnedRef::steal(created_or_abort(PyLong_FromSize_t(s.symbols)))
                                 : OwnedRef::borrow(Py_None);
    return Py_BuildValue("(O(OlOOO))", restore.get(), reinterpret_cast<PyObject*>(Py_TYPE(self)),
                         pickle_version, arguments.get(), symbols.get(), bytes.get());
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
