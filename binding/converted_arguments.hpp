// SPDX-License-Identifier: MIT
// ConvertedArguments: the converted parameters of one call, one slot per
// parameter, shared by every binding. A binding names how its series are
// converted and held (a list module's SeriesArgument, an array module's rows)
// and what happens when a series read in place cannot be copied; the scalar
// conversions are the same everywhere.
//
// Every conversion has the same shape: `Held` is what the call keeps until
// the kernel returns and `Passed` what the kernel takes for row r; `convert`
// fills the call's own slot for the parameter, empty on entry and left empty
// on failure, and carries the parameter's note on every error it returns.
#pragma once

#include "../indicators/kernel_error.hpp"
#include "arguments.hpp"
#include "catalogue.hpp"
#include "conversion.hpp"

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

// A scalar, held as the kernel takes it.
template <class T, CallResult<T> (*Convert)(PyObject*, std::string_view, InPlaceSeries&) noexcept>
struct ToScalar {
    using Held = T;
    using Passed = T;
    static constexpr bool is_series = false;
    template <class Context>
    static CallStatus convert(std::optional<Held>& slot, PyObject* o, std::string_view name,
                              const Context&, InPlaceSeries& in_place) noexcept {
        CallResult<T> converted = Convert(o, name, in_place);
        if (converted.failed()) {
            return std::move(converted.error());
        }
        slot.emplace(converted.value());
        return CallStatus::ok();
    }
    static Passed pass(const Held& value, std::size_t /*row*/) noexcept { return value; }
};

// A number (extract_float).
using ToFloat = ToScalar<double, extract_float>;
// A count from 0 to 2**64 - 1 (extract_index).
using ToIndex = ToScalar<std::uint64_t, extract_index>;

// The conversion of a parameter of kind `K`, with `Series` for series.
template <Kind K, class Series>
using ConversionFor = std::conditional_t<K == Kind::series, Series,
                                         std::conditional_t<K == Kind::real, ToFloat, ToIndex>>;

// `Policy::copy_failed(bytes)` is called when a series read in place cannot
// be copied into storage of its own; the call then reports copies_failed().
// `Policy::out_of_memory(bytes)` is the error of a conversion that cannot
// have memory for a series' values.
template <class Policy, class... Conversions>
class ConvertedArguments final : public InPlaceSeries {
  public:
    ConvertedArguments() noexcept = default;
    ConvertedArguments(const ConvertedArguments&) = delete;
    ConvertedArguments& operator=(const ConvertedArguments&) = delete;

    // Converts the bound slots in declaration order; the first failure wins.
    // `context` is whatever the binding's series conversion needs.
    template <class Context>
    CallStatus convert(const FunctionDescription& d, PyObject* const* slots,
                       const Context& context) noexcept {
        return convert_from<0>(d, slots, context);
    }

    // Whether a series read in place could not be copied when it had to be.
    [[nodiscard]] bool copies_failed() const noexcept { return copy_failed_; }

    // Calls `visit(parameter index, held series)` for each series parameter.
    template <class Visit> void for_each_series(Visit&& visit) const noexcept {
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            (visit_series<I>(visit), ...);
        }(std::index_sequence_for<Conversions...>{});
    }

    // The kernel on row `row` of every series, the scalars as they are.
    template <class Kernel, class Out>
    KernelStatus compute(Kernel kernel, Out& out, std::size_t row = 0) const noexcept {
        return [&]<std::size_t... I>(std::index_sequence<I...>) {
            return kernel(out, Conversions::pass(*std::get<I>(held_), row)...);
        }(std::index_sequence_for<Conversions...>{});
    }

    // The kernel on `series[i]` for each series parameter i (values the
    // binding gathered itself), the scalars as they are for row `row`.
    template <class Kernel, class Out, std::size_t N>
    KernelStatus compute_with(Kernel kernel, Out& out,
                              const std::array<std::span<const double>, N>& series,
                              std::size_t row = 0) const noexcept {
        return [&]<std::size_t... I>(std::index_sequence<I...>) {
            return kernel(out, passed_with<I>(series, row)...);
        }(std::index_sequence_for<Conversions...>{});
    }

    // Calls `visit(parameter index, held value)` for each parameter that is
    // not a series.
    template <class Visit> void for_each_scalar(Visit&& visit) const noexcept {
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            (visit_scalar<I>(visit), ...);
        }(std::index_sequence_for<Conversions...>{});
    }

  private:
    using Conversion = std::tuple<Conversions...>;

    template <std::size_t I, std::size_t N>
    decltype(auto) passed_with(const std::array<std::span<const double>, N>& series,
                               std::size_t row) const noexcept {
        using C = std::tuple_element_t<I, Conversion>;
        if constexpr (C::is_series) {
            static_assert(I < N, "the series parameters come first");
            return series[I];
        } else {
            return C::pass(*std::get<I>(held_), row);
        }
    }

    template <std::size_t I, class Context>
    CallStatus convert_from(const FunctionDescription& d, PyObject* const* slots,
                            const Context& context) noexcept {
        if constexpr (I == sizeof...(Conversions)) {
            return CallStatus::ok();
        } else {
            using C = std::tuple_element_t<I, Conversion>;
            auto& slot = std::get<I>(held_);
            if (CallStatus status =
                    C::convert(slot, slots[I], d.parameter_names[I], context, *this);
                status.failed()) {
                return status;
            }
            if constexpr (C::is_series) {
                hold(C::values(*slot));
            }
            return convert_from<I + 1>(d, slots, context);
        }
    }

    template <std::size_t I, class Visit> void visit_series(Visit& visit) const noexcept {
        if constexpr (std::tuple_element_t<I, Conversion>::is_series) {
            visit(I, *std::get<I>(held_));
        }
    }
    template <std::size_t I, class Visit> void visit_scalar(Visit& visit) const noexcept {
        if constexpr (!std::tuple_element_t<I, Conversion>::is_series) {
            visit(I, *std::get<I>(held_));
        }
    }

    CallError out_of_memory(std::size_t bytes) noexcept override {
        return Policy::out_of_memory(bytes);
    }

    void copy_all() noexcept override {
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            (detach<I>(), ...);
        }(std::index_sequence_for<Conversions...>{});
    }
    template <std::size_t I> void detach() noexcept {
        using C = std::tuple_element_t<I, Conversion>;
        if constexpr (C::is_series) {
            auto& slot = std::get<I>(held_);
            if (slot && !C::values(*slot).detach()) {
                Policy::copy_failed(C::values(*slot).values().size_bytes());
                copy_failed_ = true;
            }
        }
    }

    std::tuple<std::optional<typename Conversions::Held>...> held_;
    bool copy_failed_ = false;
};

// The arguments of indicator `I`, its series converted by `Series`, its
// reals declared per_series by `PerSeries` (a binding that takes one value
// per series; the others take a number).
template <class Policy, class Series, class I, class PerSeries = ToFloat,
          class = std::make_index_sequence<I::parameters.size()>>
struct ArgumentsOf;
template <class Policy, class Series, class I, class PerSeries, std::size_t... J>
struct ArgumentsOf<Policy, Series, I, PerSeries, std::index_sequence<J...>> {
    using type =
        ConvertedArguments<Policy,
                           std::conditional_t<I::parameters[J].per_series, PerSeries,
                                              ConversionFor<I::parameters[J].kind, Series>>...>;
};

} // namespace tarnwick
