// SPDX-License-Identifier: MIT
// The entry shared by every module function. functions.cpp instantiates it
// once per row of its table; a row names the function's description, its
// kernel and the conversion of each parameter. The life of one call:
//
//   bind     extract_arguments_fastcall matches the fast-call arguments to the
//            parameter slots, borrowing them. A fault is a TypeError and
//            nothing is converted (arguments.hpp).
//   convert  each parameter in declaration order with the conversion its row
//            names (ToSeries, ToFloat or ToIndex, below). The first failure is
//            raised with its note, and later parameters are not looked at.
//   hold     each converted value takes its place in the call. A series read
//            in place from the caller's buffer is registered there, so that a
//            later conversion copies it before it runs any caller code.
//   compute  the kernel validates, then writes its result straight into the
//            new list (list_output.hpp). A refusal is raised as a ValueError.
//   release  the converted inputs are released when the call returns, on every
//            path, by their destructors.
//
// No C++ exception can leave an entry: the module is built without them, and
// everything on the way is noexcept.
#pragma once

#include "../indicators/kernel_error.hpp"
#include "arguments.hpp"
#include "conversion.hpp"
#include "list_output.hpp"

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

namespace tarnwick {

// The conversions a parameter can have: `Held` is what the call keeps until
// the kernel returns, `Passed` what the kernel takes. Each converts into the
// call's own slot for the parameter, which is empty on entry and is left
// empty on failure.

// A sequence of numbers (extract_float_series).
struct ToSeries {
    using Held = SeriesArgument;
    using Passed = std::span<const double>;
    static std::optional<CallError> convert(std::optional<Held>& slot, PyObject* o,
                                            std::string_view name,
                                            InPlaceSeries& in_place) noexcept {
        auto error = extract_float_series_into(slot.emplace(), o, name, in_place);
        if (error) {
            slot.reset();
        }
        return error;
    }
    static Passed pass(const Held& series) noexcept { return series.values(); }
};

// A scalar, held as the kernel takes it.
template <class T, Extracted<T> (*Extract)(PyObject*, std::string_view, InPlaceSeries&) noexcept>
struct ToScalar {
    using Held = T;
    using Passed = T;
    static std::optional<CallError> convert(std::optional<Held>& slot, PyObject* o,
                                            std::string_view name,
                                            InPlaceSeries& in_place) noexcept {
        Extracted<T> converted = Extract(o, name, in_place);
        if (auto* error = std::get_if<CallError>(&converted)) {
            return std::move(*error);
        }
        slot.emplace(std::get<T>(converted));
        return std::nullopt;
    }
    static Passed pass(Held value) noexcept { return value; }
};

// A number (extract_float).
using ToFloat = ToScalar<double, extract_float>;
// A count from 0 to 2**64 - 1 (extract_index).
using ToIndex = ToScalar<std::uint64_t, extract_index>;

// The converted arguments of one call, one slot per parameter.
template <class... Conversions> class ConvertedArguments final : public InPlaceSeries {
  public:
    // Converts the bound slots in declaration order; the first failure wins.
    std::optional<CallError> convert(const FunctionDescription& d,
                                     PyObject* const* slots) noexcept {
        return convert_from<0>(d, slots);
    }

    template <class Kernel> Refusal compute(Kernel kernel, FloatListOutput& out) const noexcept {
        return [&]<std::size_t... I>(std::index_sequence<I...>) {
            return kernel(out, Conversions::pass(*std::get<I>(held_))...);
        }(std::index_sequence_for<Conversions...>{});
    }

  private:
    template <std::size_t I>
    std::optional<CallError> convert_from(const FunctionDescription& d,
                                          PyObject* const* slots) noexcept {
        if constexpr (I == sizeof...(Conversions)) {
            return std::nullopt;
        } else {
            using C = std::tuple_element_t<I, std::tuple<Conversions...>>;
            auto& slot = std::get<I>(held_);
            if (auto error = C::convert(slot, slots[I], d.parameter_names[I], *this)) {
                return error;
            }
            if constexpr (std::is_same_v<C, ToSeries>) {
                hold(*slot);
            }
            return convert_from<I + 1>(d, slots);
        }
    }

    void copy_all() noexcept override {
        std::apply([](auto&... held) { (detach(held), ...); }, held_);
    }
    static void detach(std::optional<SeriesArgument>& series) noexcept {
        // Exhausted memory ends the process here, as every allocation of a
        // list call does.
        if (series && !series->detach()) {
            allocation_failed(series->values().size_bytes());
        }
    }
    template <class Scalar> static void detach(std::optional<Scalar>&) noexcept {}

    std::tuple<std::optional<typename Conversions::Held>...> held_;
};

// The fast-call entry of the function that `D` describes, computed by
// `Kernel` (instantiated for FloatListOutput) from the parameters converted
// as `Conversions` name them. The self argument is always null (the functions
// are static) and unused.
template <const FunctionDescription& D, auto Kernel, class... Conversions>
PyObject* entry(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) noexcept {
    static_assert(sizeof...(Conversions) == D.parameter_names.size(),
                  "one conversion per parameter");
    using KernelTakingTheConversions =
        Refusal (*)(FloatListOutput&, typename Conversions::Passed...) noexcept;
    static_assert(std::is_same_v<decltype(Kernel), KernelTakingTheConversions>,
                  "the kernel takes what the conversions make, in parameter order");

    std::array<PyObject*, sizeof...(Conversions)> slots{};
    if (auto error = extract_arguments_fastcall(D, args, nargs, kwnames, slots)) {
        std::move(*error).raise();
        return nullptr;
    }
    ConvertedArguments<Conversions...> converted;
    if (auto error = converted.convert(D, slots.data())) {
        std::move(*error).raise();
        return nullptr;
    }
    FloatListOutput out;
    if (const Refusal refusal = converted.compute(Kernel, out)) {
        CallError::pending(PyExc_ValueError, Text(message(*refusal))).raise();
        return nullptr;
    }
    return out.release();
}

} // namespace tarnwick
