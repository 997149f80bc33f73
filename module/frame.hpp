// SPDX-License-Identifier: MIT
// The call frame shared by every module function.
//
// An entry binds its arguments, converts each parameter in declaration order
// with the conversion its kernel's parameter type calls for, and runs the
// kernel into a new list. The first failure wins: later parameters
// are not converted, and everything converted so far is released on the way
// out. No C++ exception can leave an entry: it is noexcept throughout.
#pragma once

#include "../indicators/kernel_error.hpp"
#include "binding.hpp"
#include "conversion.hpp"
#include "list_output.hpp"

#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>

namespace tarnwick {

// How a kernel parameter type is obtained from a Python argument: `Held` is
// what the call keeps until the kernel returns, `pass` what the kernel sees.
template <class T> struct Parameter;

template <> struct Parameter<std::span<const double>> {
    using Held = SeriesArgument;
    static Extracted<Held> extract(PyObject* o, std::string_view name,
                                   InPlaceSeries& in_place) noexcept {
        return extract_float_series(o, name, in_place);
    }
    static void hold(Held& series, InPlaceSeries& in_place) noexcept {
        if (series.in_place()) {
            in_place.add(series);
        }
    }
    static std::span<const double> pass(const Held& series) noexcept { return series.values(); }
};

// A scalar is held as the kernel takes it.
template <class T, Extracted<T> (*Extract)(PyObject*, std::string_view, InPlaceSeries&) noexcept>
struct ScalarParameter {
    using Held = T;
    static Extracted<Held> extract(PyObject* o, std::string_view name,
                                   InPlaceSeries& in_place) noexcept {
        return Extract(o, name, in_place);
    }
    static void hold(Held&, InPlaceSeries&) noexcept {}
    static T pass(T value) noexcept { return value; }
};

template <> struct Parameter<double> : ScalarParameter<double, extract_float> {};
template <> struct Parameter<std::uint64_t> : ScalarParameter<std::uint64_t, extract_index> {};

namespace detail {

template <class P>
bool convert(std::optional<typename P::Held>& slot, PyObject* object, std::string_view name,
             InPlaceSeries& in_place, std::optional<CallError>& error) noexcept {
    auto extracted = P::extract(object, name, in_place);
    if (auto* failure = std::get_if<CallError>(&extracted)) {
        error.emplace(std::move(*failure));
        return false;
    }
    P::hold(slot.emplace(std::move(std::get<typename P::Held>(extracted))), in_place);
    return true;
}

// The converted inputs live in this frame, and are released when it returns,
// on every path (`held` is destroyed after `in_place`, which points into it).
// The kernel writes its result straight into the list.
template <class R, class... Ps, std::size_t... I>
PyObject* convert_and_compute(const FunctionDescription& d,
                              R (*kernel)(FloatListOutput&, Ps...) noexcept, PyObject* const* slots,
                              std::index_sequence<I...>) noexcept {
    std::tuple<std::optional<typename Parameter<Ps>::Held>...> held;
    InPlaceSeries in_place;
    std::optional<CallError> error;
    const bool converted = (convert<Parameter<Ps>>(std::get<I>(held), slots[I],
                                                   d.parameter_names[I], in_place, error) &&
                            ...);
    if (!converted) {
        std::move(*error).raise();
        return nullptr;
    }
    FloatListOutput out;
    if constexpr (std::is_void_v<R>) {
        kernel(out, Parameter<Ps>::pass(*std::get<I>(held))...);
    } else if (const R refusal = kernel(out, Parameter<Ps>::pass(*std::get<I>(held))...)) {
        CallError::pending(PyExc_ValueError, Text(message(*refusal))).raise();
        return nullptr;
    }
    return out.release();
}

template <class R, class... Ps>
PyObject* call(const FunctionDescription& d, R (*kernel)(FloatListOutput&, Ps...) noexcept,
               PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    std::array<PyObject*, sizeof...(Ps)> slots{};
    if (auto error = extract_arguments_fastcall(d, args, nargs, kwnames, slots)) {
        std::move(*error).raise();
        return nullptr;
    }
    return convert_and_compute(d, kernel, slots.data(), std::index_sequence_for<Ps...>{});
}

template <class F> struct Arity;
template <class R, class... Ps> struct Arity<R (*)(FloatListOutput&, Ps...) noexcept> {
    static constexpr std::size_t value = sizeof...(Ps);
};

} // namespace detail

// The fast-call entry of the function that `D` describes and `Kernel`, a
// kernel instantiated for FloatListOutput, computes.
// The self argument is always null (the functions are static) and unused.
template <const FunctionDescription& D, auto Kernel>
PyObject* entry(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) noexcept {
    static_assert(D.parameter_names.size() == detail::Arity<decltype(Kernel)>::value);
    return detail::call(D, Kernel, args, nargs, kwnames);
}

} // namespace tarnwick
