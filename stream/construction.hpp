// SPDX-License-Identifier: MIT
// Making a stream: its arguments bound and converted as the whole-series
// functions bind theirs, its settings checked by the kernel, numpy imported
// for a stream of many symbols.
#pragma once

#include "../binding/arguments.hpp"
#include "../binding/call_error.hpp"
#include "../binding/fatal.hpp"
#include "../binding/py_ref.hpp"
#include "../binding/seed_option.hpp"
#include "../ndarray/per_series.hpp"
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
#include <string_view>
#include <type_traits>
#include <utility>

namespace tarnwick::stream {

// numpy's array type, imported when the first stream of many symbols is made
// and kept in the module's state.
OwnedRef numpy_array_type(PyTypeObject* type) noexcept;

// numpy's array type if numpy is imported (null, with no error, if not),
// or null with the error of keeping it.
OwnedRef imported_ndarray(PyTypeObject* type) noexcept;

// Checks that a number given as an array (`p`, named `name`) has one value
// per symbol: a stream of one series (`symbols` 0) takes none.
CallStatus number_fits(const arrays::PerSeries& p, std::string_view function, std::string_view name,
                       std::size_t symbols) noexcept;

// Checks each number given as an array, in the parameters' order and the
// seed (null when not given) last; sets bit j of `per_symbol` for scalar
// parameter j given so.
template <class Converted>
CallStatus numbers_fit(const Converted& converted, const arrays::PerSeries* seed,
                       const FunctionDescription& d, std::size_t symbols,
                       unsigned& per_symbol) noexcept {
    CallStatus status = CallStatus::ok();
    converted.for_each_scalar([&](std::size_t j, const auto& held) {
        if constexpr (std::is_same_v<std::remove_cvref_t<decltype(held)>, arrays::PerSeries>) {
            if (!status.failed() && held.is_array) {
                per_symbol |= 1U << j;
                status = number_fits(held, d.function_name, d.parameter_names[j], symbols);
            }
        }
    });
    if (!status.failed() && seed != nullptr && seed->is_array) {
        status = number_fits(*seed, d.function_name, SeedOption::name, symbols);
    }
    return status;
}

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

    // An array can be given only where numpy is already imported.
    OwnedRef ndarray;
    if constexpr (L::numbers_per_symbol) {
        ndarray = imported_ndarray(type);
        if (!ndarray && PyErr_Occurred() != nullptr) {
            return nullptr;
        }
    }
    typename ScalarsOf<I>::Arguments converted;
    if (CallStatus status =
            converted.convert(d, slots.data(), NumbersContext{d.function_name, ndarray.get()});
        status.failed()) {
        return raised(std::move(status.error()));
    }
    typename L::Declared options;
    if (CallStatus status =
            options.convert(std::span<PyObject* const>(slots).subspan(L::scalars),
                            MakingContext{converted, d.function_name, ndarray.get()});
        status.failed()) {
        return raised(std::move(status.error()));
    }
    const Symbols& symbols = options.template value<SymbolsOption>();
    const arrays::PerSeries* seed = nullptr;
    if constexpr (L::takes_seed) {
        const std::optional<arrays::PerSeries>& given = options.template value<SymbolSeedOption>();
        seed = given ? &*given : nullptr;
    }
    unsigned per_symbol = 0;
    if constexpr (L::numbers_per_symbol) {
        if (CallStatus fit = numbers_fit(converted, seed, d, symbols.count, per_symbol);
            fit.failed()) {
            return raised(std::move(fit.error()));
        }
    }
    // Row `symbol` of the numbers: each symbol's own where some were given
    // one per symbol.
    const auto numbers = [&](SymbolNumbers<I>& into, std::size_t symbol) noexcept {
        struct NoOutput {};
        NoOutput no_output;
        return converted.compute(
            [&](NoOutput&, auto... scalar) noexcept -> KernelStatus {
                Result<typename I::Settings, KernelError> settings = I::settings(scalar...);
                if (settings.failed()) {
                    return settings.error();
                }
                into = {settings.value(), {scalar...}};
                return KernelStatus::ok();
            },
            no_output, symbol);
    };
    SymbolNumbers<I> made{};
    KernelStatus valid = numbers(made, 0);
    struct Own {
        SymbolNumbers<I>* numbers = nullptr;
        ~Own() { std::free(numbers); }
    } own;
    if (per_symbol != 0 && !valid.failed()) {
        own.numbers = allocate_numbers<I>(symbols.count);
        if (own.numbers == nullptr) {
            return nullptr;
        }
        for (std::size_t i = 0; i < symbols.count && !valid.failed(); ++i) {
            valid = numbers(own.numbers[i], i);
        }
    }
    if (valid.failed()) {
        return raised(value_error(Text(message(valid.error()))));
    }
    if (symbols.count > 0 && !ndarray) {
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
    s.own = std::exchange(own.numbers, nullptr);
    s.given_per_symbol = per_symbol;
    s.many = symbols.count > 0;
    s.ndarray = s.many ? ndarray.release() : nullptr;
    s.keys = OwnedRef::borrow(symbols.keys.get()).release();
    s.places = OwnedRef::borrow(symbols.places.get()).release();
    if constexpr (L::takes_seed) {
        for (std::size_t i = 0; seed != nullptr && i < s.symbols; ++i) {
            I::seed_with(s.records[i].state, seed->at(i));
        }
    }
    return self.release();
}

} // namespace tarnwick::stream
