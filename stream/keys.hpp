// SPDX-License-Identifier: MIT
// The symbols' keys of a stream of many symbols (symbols=keys), and a feed's
// rows named by them (by=): each row's key turned into its symbol's place.
#pragma once

#include "../arrays/groups.hpp"
#include "../binding/call_error.hpp"
#include "../binding/py_ref.hpp"

#include <Python.h>

#include <cstddef>
#include <string_view>

namespace tarnwick::stream {

// Whether symbols= names the symbols (a column of keys) rather than counts
// them.
bool gives_keys(PyObject* symbols) noexcept;

// The keys of symbols=keys, distinct str or int keys: as a tuple, and a
// dict from each key to its symbol's place.
CallStatus symbol_keys(PyObject* column, OwnedRef& keys, OwnedRef& places) noexcept;

// The place of the symbol of each row of `by`: found in `places` for a
// stream made with keys, else the key itself, 0 to symbols - 1, read in
// place from a numpy array (`ndarray`) of integers.
struct RowPlaces {
    arrays::Counts at;
    std::size_t rows = 0;
};
CallStatus row_places(std::string_view function, PyObject* by, PyObject* places, PyObject* ndarray,
                      std::size_t symbols, RowPlaces& rows) noexcept;

// The messages of a call with by=.
CallError rows_mismatch(std::string_view function, std::size_t keys, std::size_t bars) noexcept;
CallError where_with_by(std::string_view function) noexcept;
CallError by_without_symbols(std::string_view function) noexcept;

} // namespace tarnwick::stream
