// SPDX-License-Identifier: MIT
// A stream's record of one symbol (the kernel's state and the last value),
// as words for a pickle, and the output wrapper that keeps the last value.
#pragma once

#include "../indicators/ieee_double.hpp"

#include <Python.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <tuple>
#include <type_traits>

namespace tarnwick::stream {

template <class I> struct Record {
    typename I::State state;
    double value = quiet_nan; // the last value, NaN before the first bar
};

// A record as words: each field of the state, then the last value.
using Word = std::uint64_t;
template <class I>
constexpr std::size_t words_per_record = std::tuple_size_v<decltype(I::fields)> + 1;

template <class Field> Word word_of(Field value) noexcept {
    if constexpr (std::is_same_v<Field, double>) {
        return std::bit_cast<Word>(value);
    } else {
        return static_cast<Word>(value);
    }
}

// False for a word that no field of that type holds (a flag other than 0 or 1).
template <class Field> bool field_of(Word word, Field& field) noexcept {
    if constexpr (std::is_same_v<Field, double>) {
        field = std::bit_cast<double>(word);
    } else if constexpr (std::is_same_v<Field, bool>) {
        if (word > 1) {
            return false;
        }
        field = word == 1;
    } else {
        field = static_cast<Field>(word);
    }
    return true;
}

template <class I> void record_to_words(const Record<I>& r, Word* w) noexcept {
    std::apply([&](auto... field) { ((*w++ = word_of(r.state.*field)), ...); }, I::fields);
    *w = word_of(r.value);
}

template <class I> bool record_from_words(Record<I>& r, const Word* w) noexcept {
    const bool fields = std::apply(
        [&](auto... field) { return (field_of(*w++, r.state.*field) && ...); }, I::fields);
    return fields && field_of(*w, r.value);
}

// Wraps a kernel output and keeps the value of the last bar. Only that bar
// stores it: `last` may alias the output's memory as far as the compiler
// knows, and a store on every bar would cost the pass a little.
template <class Out> struct KeepingLast {
    Out& out;
    double& last;
    std::size_t final_bar = 0;
    void start(std::size_t n) noexcept {
        out.start(n);
        final_bar = n - 1;
    }
    void put(std::size_t i, double value) noexcept {
        out.put(i, value);
        if (i == final_bar) {
            last = value;
        }
    }
};

} // namespace tarnwick::stream
