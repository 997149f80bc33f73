// SPDX-License-Identifier: MIT
// Column containers: pandas, polars and Arrow objects, whose values are not
// what iterating them gives (a frame iterates its labels) and which want
// their own kind of result back (an index kept, a frame of columns). A call
// given one is handed whole to the pure-Python tarnwick_frames, which
// converts the containers to numpy arrays (a frame's float64 columns and a
// chunked array's chunks as pieces, each read where it lies: array_series.hpp),
// calls the same function again with those, and wraps the result as its
// inputs were.
#pragma once

#include "../binding/call_error.hpp"
#include "../binding/series_argument.hpp"
#include "groups.hpp"
#include "module_state.hpp"

#include <Python.h>

#include <cstddef>
#include <string_view>

namespace tarnwick::arrays {

// Whether `object` is a column container: not a list, tuple or ndarray, nor
// anything else read through a buffer, and of a type from pandas, polars or
// pyarrow, or exporting Arrow data through the PyCapsule interface. Lists,
// tuples and arrays cost a type check; may run code (an attribute lookup)
// for anything else.
[[nodiscard]] bool is_column_container(PyObject* object, PyObject* ndarray) noexcept;

// tarnwick_frames._dispatch(function, args, kwargs) for the fast call
// `args`, `nargs`, `kwnames`, rebuilt as the caller gave it; tarnwick_frames
// is imported on the first such call and kept in `state`.
[[nodiscard]] PyObject* dispatch_to_frames(ModuleState& state, std::string_view function,
                                           PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) noexcept;

// The rows grouped by the keys `by` (a call's `by=`), one key per bar of
// series `length` bars long: the keys become integer codes through
// tarnwick_frames._groups (its ValueError naming `by` for keys of another
// length or a null key), grouped here. Keys other than a numpy array of
// numbers or text may run the caller's code (an object's __eq__), so the
// series read in place are copied first for them.
[[nodiscard]] CallStatus group_rows(ModuleState& state, std::string_view function, PyObject* by,
                                    std::size_t length, InPlaceSeries& in_place,
                                    Groups& groups) noexcept;

} // namespace tarnwick::arrays
