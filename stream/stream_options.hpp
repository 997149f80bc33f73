// SPDX-License-Identifier: MIT
// The keyword options of a stream (binding/options.hpp), as the arrays'
// functions declare theirs (arrays/array_options.hpp): `seed` and `symbols`
// when a stream is made, `where` and `by` of update and peek, `by` of
// extend. Each call converts its options right after binding, before its
// bar: a key of `by` is looked up before the series are read, and a bad key
// is reported first.
#pragma once

#include "../binding/call_error.hpp"
#include "../binding/conversion.hpp"
#include "../binding/options.hpp"
#include "../binding/py_ref.hpp"
#include "../binding/seed_option.hpp"
#include "../ndarray/per_series.hpp"
#include "keys.hpp"

#include <Python.h>

#include <cstddef>
#include <optional>
#include <string_view>
#include <type_traits>

namespace tarnwick::stream {

// What a stream's options know as it is made: its scalar parameters,
// converted, and numpy's type if it is known.
struct MakingContext {
    InPlaceSeries& in_place;
    std::string_view function;
    PyObject* ndarray;
};

// The number of symbols: 0 for None (one series), else a count > 0.
CallResult<std::size_t> symbols_of(PyObject* o, InPlaceSeries& none) noexcept;

// The symbols of a stream: a count (0 for one series), and for
// symbols=keys their keys and the dict of their places.
struct Symbols {
    std::size_t count = 0;
    OwnedRef keys;
    OwnedRef places;
};

struct SymbolsOption {
    static constexpr std::string_view name = "symbols";
    static constexpr std::string_view default_text = "None";
    using Value = Symbols;
    static CallResult<Value> convert(PyObject* given, const MakingContext& context) noexcept {
        Symbols symbols;
        if (gives_keys(given)) {
            if (CallStatus named = symbol_keys(given, symbols.keys, symbols.places);
                named.failed()) {
                return std::move(named.error());
            }
            symbols.count = static_cast<std::size_t>(PyTuple_Size(symbols.keys.get()));
            return symbols;
        }
        CallResult<std::size_t> count = symbols_of(given, context.in_place);
        if (count.failed()) {
            return std::move(count.error());
        }
        symbols.count = count.value();
        return symbols;
    }
};

// seed=, a number or (with symbols=) an array of one per symbol; none when
// None.
struct SymbolSeedOption {
    static constexpr std::string_view name = SeedOption::name;
    static constexpr std::string_view default_text = SeedOption::default_text;
    using Value = std::optional<arrays::PerSeries>;
    static CallResult<Value> convert(PyObject* given, const MakingContext& context) noexcept {
        return arrays::read_seed(given, context.function, context.ndarray, context.in_place);
    }
};

// A recursion that can start from a given variance takes seed= first.
template <bool takes_seed>
using MakingOptions = std::conditional_t<takes_seed, Options<SymbolSeedOption, SymbolsOption>,
                                         Options<SymbolsOption>>;

// What the options of update, peek and extend know: the stream's symbols
// (none for a stream of one series) and how they are named.
struct BarContext {
    std::string_view function;
    bool many;
    std::size_t symbols;
    PyObject* places; // the keys' places, null for symbols=N
    PyObject* ndarray;
    bool by_given;
};

// Which symbols have a bar: kept as given, read with the series (a boolean
// array of N, or one truth); null when None. Not with by=, whose rows are
// the bars there are.
struct WhereOption {
    static constexpr std::string_view name = "where";
    static constexpr std::string_view default_text = "None";
    using Value = PyObject*;
    static CallResult<Value> convert(PyObject* given, const BarContext& context) noexcept {
        if (given == nullptr || given == Py_None) {
            return Value{nullptr};
        }
        if (context.many && context.by_given) {
            return where_with_by(context.function);
        }
        return given;
    }
};

// The symbol of each row, as its record's place: only for a stream of many
// symbols; none when None.
struct ByOption {
    static constexpr std::string_view name = "by";
    static constexpr std::string_view default_text = "None";
    using Value = std::optional<RowPlaces>;
    static CallResult<Value> convert(PyObject* given, const BarContext& context) noexcept {
        if (given == nullptr || given == Py_None) {
            return Value();
        }
        if (!context.many) {
            return by_without_symbols(context.function);
        }
        RowPlaces rows;
        if (CallStatus found = row_places(context.function, given, context.places, context.ndarray,
                                          context.symbols, rows);
            found.failed()) {
            return std::move(found.error());
        }
        return Value(std::move(rows));
    }
};

using BarOptions = Options<WhereOption, ByOption>;
using BarsOptions = Options<ByOption>;

// Converts `Declared` from the slots after a call's `series`, for a stream
// of `symbols` (0 for one series) named by `places`.
template <class Declared>
CallStatus convert_options(Declared& options, std::string_view function, PyObject* const* slots,
                           std::size_t series, std::size_t symbols, PyObject* places,
                           PyObject* ndarray) noexcept {
    const std::span<PyObject* const> given(slots + series, Declared::count);
    PyObject* by = Declared::template given<ByOption>(given);
    return options.convert(given, BarContext{function, symbols > 0, symbols, places, ndarray,
                                             by != nullptr && by != Py_None});
}

} // namespace tarnwick::stream
