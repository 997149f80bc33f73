// SPDX-License-Identifier: MIT
// What a stream of one indicator of the catalogue is made of: its bar (the
// series parameters), its settings (the scalar parameters), its methods'
// descriptions and documentation, and the converted arguments of each.
#pragma once

#include "../binding/arguments.hpp"
#include "../binding/catalogue.hpp"
#include "../binding/converted_arguments.hpp"
#include "../binding/list_call.hpp"
#include "../binding/text.hpp"
#include "../ndarray/per_series.hpp"
#include "stream_options.hpp"

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

namespace tarnwick::stream {

// What a stream of indicator `I` is made of: its series parameters (the
// bar), which come first, and its scalar parameters (the settings).
template <class I> struct Layout {
    static constexpr std::size_t series = [] {
        std::size_t n = 0;
        while (n < I::parameters.size() && I::parameters[n].kind == Kind::series) {
            ++n;
        }
        return n;
    }();
    static constexpr std::size_t scalars = I::parameters.size() - series;
    static constexpr bool takes_seed = requires(typename I::State& s) { I::seed_with(s, 0.0); };
    // Whether a stream of many symbols may take some numbers one per symbol.
    static constexpr bool numbers_per_symbol = [] {
        bool any = false;
        for (const Parameter& p : I::parameters) {
            any = any || p.per_series;
        }
        return any;
    }();

    // The options of making the stream, of update and peek, of extend.
    using Declared = MakingOptions<takes_seed>;

    // `count` parameters of the indicator from `first` on, then the options
    // `names`.
    template <std::size_t first, std::size_t count, std::size_t options>
    static constexpr auto names_with(const std::array<std::string_view, options>& names) {
        return [&]<std::size_t... J, std::size_t... K>(std::index_sequence<J...>,
                                                       std::index_sequence<K...>) {
            return std::array<std::string_view, count + options>{I::parameters[first + J].name...,
                                                                 names[K]...};
        }(std::make_index_sequence<count>{}, std::make_index_sequence<options>{});
    }
    static constexpr auto bar_names_where = names_with<0, series>(BarOptions::names);
    static constexpr auto bar_names_by = names_with<0, series>(BarsOptions::names);
    static constexpr auto construction_names = names_with<series, scalars>(Declared::names);

    // What a stream promises: a seeded recursion depends on a seed that a
    // live stream takes from the first returns it sees, so only a stream
    // without one matches the whole-series function at every split.
    static constexpr std::string_view continues =
        takes_seed
            ? "\n\nA stream continues a series from where it stopped. It seeds from the first "
              "returns it is given (the history passed to its first extend(), or the first "
              "update's return) as the whole-series function seeds from its series, or from "
              "seed= when given: garch11_variance(returns, omega, alpha, beta, "
              "seed=stream.seed) of tarnwick_arrays gives the values of everything fed to it, "
              "bit for bit, in any split."
            : "\n\nA stream continues a series from where it stopped: for every split of a "
              "series into extend() and update() calls, the values are those of the "
              "whole-series function of tarnwick, bit for bit.";
    static constexpr std::string_view side_by_side =
        " With symbols=N, it keeps N series side by side: update() takes arrays of N values "
        "(where=, a boolean array, picks the symbols that have a bar) and extend() one row "
        "per symbol. With symbols=keys (distinct str or int keys), by= names each row's symbol: "
        "update() and extend() then take rows in any order, one bar each.";
    static constexpr std::string_view own_numbers =
        numbers_per_symbol
            ? " With symbols=, each of omega, alpha, beta and seed= is a number for every symbol "
              "or a 1-D array of one per symbol, as garch11_fit of tarnwick_arrays gives a "
              "panel's: each symbol then runs as its own stream with its own numbers."
            : "";
    static constexpr auto documentation =
        joined<I::summary.size() + continues.size() + side_by_side.size() + own_numbers.size()>(
            I::summary, continues, side_by_side, own_numbers);
    static constexpr auto qualified_name =
        joined<16 + I::type_name.size()>("tarnwick_stream.", I::type_name);

    static constexpr FunctionDescription construction{
        .function_name = I::type_name,
        .parameter_names = construction_names,
        .required_count = scalars,
        .keyword_only_count = Declared::count,
        .documentation = documentation.view(),
        .keyword_defaults = Declared::defaults,
    };
    static constexpr FunctionDescription update{
        .function_name = "update",
        .parameter_names = bar_names_where,
        .required_count = series,
        .keyword_only_count = BarOptions::count,
        .documentation = "Takes one bar (with symbols=N, arrays of N values) and returns its "
                         "value. Where where= is false (with symbols=N, a boolean array of N), "
                         "a symbol has no bar: it keeps its state and reports NaN. With by= "
                         "(a key of the stream's symbols per row), takes rows in any order, "
                         "one bar each, and returns one value per row.",
        .method = true,
        .keyword_defaults = BarOptions::defaults,
    };
    static constexpr FunctionDescription peek{
        .function_name = "peek",
        .parameter_names = bar_names_where,
        .required_count = series,
        .keyword_only_count = BarOptions::count,
        .documentation = "The value update() would return for this bar, without changing the "
                         "stream.",
        .method = true,
        .keyword_defaults = BarOptions::defaults,
    };
    static constexpr FunctionDescription extend{
        .function_name = "extend",
        .parameter_names = bar_names_by,
        .required_count = series,
        .keyword_only_count = BarsOptions::count,
        .documentation = "Takes many bars (series as tarnwick takes them; with symbols=N, one "
                         "row per symbol), continues the stream over them in one pass and "
                         "returns their values (a list; with symbols=N, an array of N rows). "
                         "With by=, as update() with by=.",
        .method = true,
        .keyword_defaults = BarsOptions::defaults,
    };
};

// The converted scalar parameters, as the kernel takes them; those declared
// per_series read as a number or an array of one per symbol, whose values
// the kernel takes one symbol at a time.
template <Kind K> using ScalarOf = std::conditional_t<K == Kind::real, double, std::uint64_t>;
template <class I, class = std::make_index_sequence<Layout<I>::scalars>> struct ScalarsOf;
template <class I, std::size_t... J> struct ScalarsOf<I, std::index_sequence<J...>> {
    static constexpr const Parameter& parameter(std::size_t j) {
        return I::parameters[Layout<I>::series + j];
    }
    using type = std::tuple<ScalarOf<parameter(J).kind>...>;
    using Arguments =
        ConvertedArguments<AbortWhenCopyFails,
                           std::conditional_t<parameter(J).per_series, arrays::ToPerSeries,
                                              ConversionFor<parameter(J).kind, ToSeries>>...>;
};

// How the scalar parameters are read: an array only where numpy's type is
// known (`ndarray` not null).
struct NumbersContext {
    std::string_view function;
    PyObject* ndarray;
};

// The series parameters only, converted by `Series`.
template <class Policy, class Series, class I, class = std::make_index_sequence<Layout<I>::series>>
struct SeriesOf;
template <std::size_t, class T> using Each = T;
template <class Policy, class Series, class I, std::size_t... J>
struct SeriesOf<Policy, Series, I, std::index_sequence<J...>> {
    using type = ConvertedArguments<Policy, Each<J, Series>...>;
};

} // namespace tarnwick::stream
