// SPDX-License-Identifier: MIT
// Options: the keyword-only parameters of a function (an out array, an axis,
// a NaN policy, an optional real, ...), declared as a list of option kinds.
// The function's description takes its keyword-only names and the defaults
// its signature shows from the list, and its entry converts them, after its
// own parameters, in the order declared: the first failure wins.
//
// An option kind K declares
//
//   static constexpr std::string_view name;          the keyword
//   static constexpr std::string_view default_text;  as the signature shows it
//   using Value = ...;                               what the call keeps
//   template <class Context>
//   static CallResult<Value> convert(PyObject* given, const Context&) noexcept;
//
// `given` is null when the caller left the option out, and the context is
// whatever the binding knows by then (the function, the inputs' shape).
#pragma once

#include "call_error.hpp"

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

namespace tarnwick {

template <class... Kinds> class Options {
  public:
    static constexpr std::size_t count = sizeof...(Kinds);
    static constexpr std::array<std::string_view, count> names{Kinds::name...};
    static constexpr std::array<std::string_view, count> defaults{Kinds::default_text...};

    // A function's parameter names: `parameters`, then the options'.
    template <std::size_t N>
    static constexpr std::array<std::string_view, N + count>
    after(const std::array<std::string_view, N>& parameters) noexcept {
        std::array<std::string_view, N + count> all{};
        std::copy(parameters.begin(), parameters.end(), all.begin());
        std::copy(names.begin(), names.end(), all.begin() + N);
        return all;
    }

    // Whether the function takes option K.
    template <class K> static constexpr bool declares = (std::is_same_v<K, Kinds> || ...);

    // What the caller gave for K among the bound keyword-only `given` (one
    // slot per declared option), as given: null when left out or undeclared.
    template <class K> static PyObject* given(std::span<PyObject* const> given) noexcept {
        if constexpr (declares<K>) {
            return given[position<K>()];
        } else {
            return nullptr;
        }
    }

    // Converts each declared option from its slot of `given`, in order.
    template <class Context>
    CallStatus convert(std::span<PyObject* const> given, const Context& context) noexcept {
        CallStatus status = CallStatus::ok();
        [&]<std::size_t... J>(std::index_sequence<J...>) {
            (void)(convert_one<J>(given[J], context, status) && ...);
        }(std::index_sequence_for<Kinds...>{});
        return status;
    }

    // The converted value of option K, once converted.
    template <class K> [[nodiscard]] const typename K::Value& value() const noexcept {
        return std::get<position<K>()>(values_);
    }

    // The converted value of option K, or `otherwise` if it is not declared.
    template <class K>
    [[nodiscard]] typename K::Value value_or(typename K::Value otherwise) const noexcept {
        if constexpr (declares<K>) {
            return value<K>();
        } else {
            return otherwise;
        }
    }

  private:
    template <class K> static consteval std::size_t position() {
        static_assert(declares<K>, "an option the function does not declare");
        std::size_t at = 0;
        bool found = false;
        ((found = found || std::is_same_v<K, Kinds>, at += found ? 0 : 1), ...);
        return at;
    }

    template <std::size_t J, class Context>
    bool convert_one(PyObject* given, const Context& context, CallStatus& status) noexcept {
        using K = std::tuple_element_t<J, std::tuple<Kinds...>>;
        CallResult<typename K::Value> converted = K::convert(given, context);
        if (converted.failed()) {
            status = std::move(converted.error());
            return false;
        }
        std::get<J>(values_) = std::move(converted.value());
        return true;
    }

    std::tuple<typename Kinds::Value...> values_{};
};

} // namespace tarnwick
