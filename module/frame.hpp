// SPDX-License-Identifier: MIT
// The call frame shared by every module function.
//
// An entry binds its arguments, converts each parameter in declaration order
// with the conversion its kernel's parameter type calls for, runs the kernel
// and turns the result into a list. The first failure wins: later parameters
// are not converted, and everything converted so far is released on the way
// out. No C++ exception can leave an entry: it is noexcept throughout.
#pragma once

#include "../indicators/float_series.hpp"
#include "../indicators/kernel_error.hpp"
#include "binding.hpp"
#include "conversion.hpp"

#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <tuple>
#include <utility>

namespace tarnwick {

// How a kernel parameter type is obtained from a Python argument: `Held` is
// what the call keeps until the kernel returns, `pass` what the kernel sees.
template <class T> struct Parameter;

template <> struct Parameter<std::span<const double>> {
    using Held = SeriesArgument;
    static Extracted<Held> extract(PyObject* o, std::string_view name) noexcept {
        return extract_float_series(o, name);
    }
    static std::span<const double> pass(const Held& series) noexcept { return series.values(); }
};

template <> struct Parameter<double> {
    using Held = double;
    static Extracted<Held> extract(PyObject* o, std::string_view name) noexcept {
        return extract_float(o, name);
    }
    static double pass(double value) noexcept { return value; }
};

template <> struct Parameter<std::uint64_t> {
    using Held = std::uint64_t;
    static Extracted<Held> extract(PyObject* o, std::string_view name) noexcept {
        return extract_index(o, name);
    }
    static std::uint64_t pass(std::uint64_t value) noexcept { return value; }
};

inline PyObject* finish(FloatSeries result) noexcept {
    return into_float_list(std::move(result));
}

// A kernel that refused its inputs raises ValueError with the kernel's message.
inline PyObject* finish(KernelResult result) noexcept {
    if (const auto* refused = std::get_if<KernelError>(&result)) {
        CallError::pending(PyExc_ValueError, Text(message(*refused))).raise();
        return nullptr;
    }
    return finish(std::move(std::get<FloatSeries>(result)));
}

namespace detail {

template <class Held>
bool hold(std::optional<Held>& slot, Extracted<Held> extracted,
          std::optional<CallError>& error) noexcept {
    if (auto* failure = std::get_if<CallError>(&extracted)) {
        error.emplace(std::move(*failure));
        return false;
    }
    slot.emplace(std::move(std::get<Held>(extracted)));
    return true;
}

// Converted inputs live in this frame only, so they are released when it
// returns: before the result is turned into a list, or on the error path.
template <class R, class... Ps, std::size_t... I>
std::optional<R> convert_and_compute(const FunctionDescription& d, R (*kernel)(Ps...) noexcept,
                                     PyObject* const* slots, std::optional<CallError>& error,
                                     std::index_sequence<I...>) noexcept {
    std::tuple<std::optional<typename Parameter<Ps>::Held>...> held;
    const bool converted =
        (hold(std::get<I>(held), Parameter<Ps>::extract(slots[I], d.parameter_names[I]), error) &&
         ...);
    if (!converted) {
        return std::nullopt;
    }
    return kernel(Parameter<Ps>::pass(*std::get<I>(held))...);
}

template <class R, class... Ps>
PyObject* call(const FunctionDescription& d, R (*kernel)(Ps...) noexcept, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames) noexcept {
    std::array<PyObject*, sizeof...(Ps)> slots{};
    if (auto error = extract_arguments_fastcall(d, args, nargs, kwnames, slots)) {
        std::move(*error).raise();
        return nullptr;
    }
    std::optional<CallError> error;
    std::optional<R> result =
        convert_and_compute(d, kernel, slots.data(), error, std::index_sequence_for<Ps...>{});
    if (!result) {
        std::move(*error).raise();
        return nullptr;
    }
    return finish(std::move(*result));
}

template <class F> struct Arity;
template <class R, class... Ps> struct Arity<R (*)(Ps...) noexcept> {
    static constexpr std::size_t value = sizeof...(Ps);
};

} // namespace detail

// The fast-call entry of the function that `D` describes and `Kernel` computes.
// The self argument is always null (the functions are static) and unused.
template <const FunctionDescription& D, auto Kernel>
PyObject* entry(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) noexcept {
    static_assert(D.parameter_names.size() == detail::Arity<decltype(Kernel)>::value);
    return detail::call(D, Kernel, args, nargs, kwnames);
}

} // namespace tarnwick
