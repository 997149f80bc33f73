// SPDX-License-Identifier: MIT
// Making a stream: its arguments bound and converted as the whole-series
// functions bind theirs, its settings checked by the kernel, numpy imported
// for a stream of many symbols.
#pragma once

#include "../binding/arguments.hpp"
#include "../binding/call_error.hpp"
#include "../binding/fatal.hpp"
#include "../binding/py_ref.hpp"
#include "keys.hpp"
#include "layout.hpp"
#include "object.hpp"
#include "stream_options.hpp"

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdlib>
#include <optional>
#include <span>

namespace tarnwick::stream {

// numpy's array type, imported when the first stream of many symbols is made
// and kept in the module's state.
OwnedRef numpy_array_type(PyTypeObject* type) noexcept;

template <class I> PyObject* stream_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    using L = Layout<I>;
    const FunctionDescription& d = L::construction;
    // Bound as a fast call: the positional arguments, then the keywords'
    // values, with their names in a tuple.
    const Py_ssize_t nargs = PyTuple_Size(args);
    const Py_ssize_t nkw = kwargs == nullptr ? 0 : PyDict_Size(kwargs);
    constexpr std::size_t most = L::construction_names.size();
    const auto passed = static_cast<std::size_t>(nargs + nkw);
    struct Vector {
        PyObject** items;
        ~Vector() { std::free(items); }
    } vector{static_cast<PyObject**>(std::malloc(sizeof(PyObject*) * (passed + 1)))};
    if (vector.items == nullptr) {
        return PyErr_NoMemory();
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        vector.items[i] = PyTuple_GetItem(args, i);
    }
    OwnedRef kwnames;
    if (nkw > 0) {
        kwnames = OwnedRef::steal(created_or_abort(PyTuple_New(nkw)));
        Py_ssize_t at = 0;
        Py_ssize_t i = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &at, &key, &value)) {
            PyTuple_SetItem(kwnames.get(), i, OwnedRef::borrow(key).release());
            vector.items[nargs + i++] = value;
        }
    }
    std::array<PyObject*, most> slots{};
    if (CallStatus bound = extract_arguments_fastcall(d, vector.items, nargs, kwnames.get(), slots);
        bound.failed()) {
        return raised(std::move(bound.error()));
    }

    typename ScalarsOf<I>::Arguments converted;
    if (CallStatus status = converted.convert(d, slots.data(), NoContext{}); status.failed()) {
        return raised(std::move(status.error()));
    }
    typename L::Declared options;
    if (CallStatus status = options.convert(std::span<PyObject* const>(slots).subspan(L::scalars),
                                            MakingContext{converted});
        status.failed()) {
        return raised(std::move(status.error()));
    }
    const std::optional<double> seed = options.template value_or<SeedOption>(std::nullopt);
    const Symbols& symbols = options.template value<SymbolsOption>();
    struct Made {
        typename I::Settings settings{};
        typename ScalarsOf<I>::type scalars{};
    } made;
    struct NoOutput {};
    NoOutput no_output;
    const KernelStatus valid = converted.compute(
        [&](NoOutput&, auto... scalar) noexcept -> KernelStatus {
            Result<typename I::Settings, KernelError> settings = I::settings(scalar...);
            if (settings.failed()) {
                return settings.error();
            }
            made = {settings.value(), {scalar...}};
            return KernelStatus::ok();
        },
        no_output);
    if (valid.failed()) {
        return raised(value_error(Text(message(valid.error()))));
    }
    OwnedRef ndarray;
    if (symbols.count > 0) {
        ndarray = numpy_array_type(type);
        if (!ndarray) {
            return nullptr;
        }
    }
    OwnedRef self = allocate<I>(type, symbols.count > 0 ? symbols.count : 1);
    if (!self) {
        return nullptr;
    }
    Stream<I>& s = stream_of<I>(self.get());
    s.settings = made.settings;
    s.scalars = made.scalars;
    s.many = symbols.count > 0;
    s.ndarray = ndarray.release();
    s.keys = OwnedRef::borrow(symbols.keys.get()).release();
    s.places = OwnedRef::borrow(symbols.places.get()).release();
    if constexpr (L::takes_seed) {
        for (std::size_t i = 0; seed && i < s.symbols; ++i) {
            I::seed_with(s.records[i].state, *seed);
        }
    }
    return self.release();
}

} // namespace tarnwick::stream
