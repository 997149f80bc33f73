// SPDX-License-Identifier: MIT
// The catalogue of indicators: for each, its stem name, its parameters with
// the kind of value each converts to, its kernel and its documentation. It
// is the one description every binding maps: tarnwick names each function
// native_<stem> and returns lists, tarnwick_arrays names it <stem> and
// returns arrays. A new indicator is a kernel and one entry here.
#pragma once

#include "../indicators/adx.hpp"
#include "../indicators/garch11.hpp"
#include "../indicators/parabolic_sar.hpp"

#include <array>
#include <cstddef>
#include <string_view>

namespace tarnwick {

// What a parameter converts to: a series of doubles (extract_float_series),
// a double (extract_float) or a count from 0 to 2**64 - 1 (extract_index).
enum class Kind : unsigned char { series, real, count };

struct Parameter {
    std::string_view name;
    Kind kind;
};

struct AdxIndicator {
    static constexpr std::string_view stem = "adx";
    static constexpr std::array parameters = {
        Parameter{.name = "high", .kind = Kind::series},
        Parameter{.name = "low", .kind = Kind::series},
        Parameter{.name = "close", .kind = Kind::series},
        Parameter{.name = "period", .kind = Kind::count},
    };
    template <class Out> static constexpr auto kernel = &compute_adx<Out>;
    static constexpr std::string_view summary =
        "Average Directional Index of each bar, smoothed with weight 1/period from 0.0\n"
        "at bar 0 (no warm-up). high, low and close have one shape; period >= 1.";
};

struct ParabolicSarIndicator {
    static constexpr std::string_view stem = "parabolic_sar";
    static constexpr std::array parameters = {
        Parameter{.name = "high", .kind = Kind::series},
        Parameter{.name = "low", .kind = Kind::series},
        Parameter{.name = "af_step", .kind = Kind::real},
        Parameter{.name = "af_max", .kind = Kind::real},
    };
    template <class Out> static constexpr auto kernel = &compute_parabolic_sar<Out>;
    static constexpr std::string_view summary =
        "Parabolic Stop-and-Reverse level of each bar, starting in an up-trend at low[0],\n"
        "the factor growing by af_step at each new extreme up to af_max.";
};

struct Garch11VarianceIndicator {
    static constexpr std::string_view stem = "garch11_variance";
    static constexpr std::array parameters = {
        Parameter{.name = "returns", .kind = Kind::series},
        Parameter{.name = "omega", .kind = Kind::real},
        Parameter{.name = "alpha", .kind = Kind::real},
        Parameter{.name = "beta", .kind = Kind::real},
    };
    template <class Out> static constexpr auto kernel = &compute_garch11_variance<Out>;
    static constexpr std::string_view summary =
        "GARCH(1,1) conditional variance: v[i] = max(0, v[i-1] * beta + ((alpha * r[i]) * r[i]\n"
        "+ omega)), seeded with the mean of the squared returns. v[i] already contains r[i]:\n"
        "it is the variance forecast for the next period.";
};

// Every indicator, in registration order.
template <class... Indicators> struct IndicatorList {};
using Catalogue = IndicatorList<AdxIndicator, ParabolicSarIndicator, Garch11VarianceIndicator>;

// Text made at compile time, null-terminated, for names that a binding
// derives from a stem.
template <std::size_t N> struct FixedText {
    char text[N + 1] = {};
    [[nodiscard]] constexpr std::string_view view() const noexcept { return {text, N}; }
};

template <std::size_t N> consteval FixedText<N> joined(std::string_view a, std::string_view b) {
    FixedText<N> out;
    std::size_t at = 0;
    for (const char c : a) {
        out.text[at++] = c;
    }
    for (const char c : b) {
        out.text[at++] = c;
    }
    return out;
}

} // namespace tarnwick
