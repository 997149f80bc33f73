// SPDX-License-Identifier: MIT
// Column containers: pandas, polars and Arrow objects, whose values are not
// what iterating them gives (a frame iterates its labels) and which want
// their own kind of result back (an index kept, a frame of columns). A call
// given one, once bound, is handed to the pure-Python tarnwick_frames, which
// reads the containers as numpy arrays (a frame's float64 columns and a
// chunked array's chunks as pieces, each read where it lies: array_series.hpp);
// the call goes on with those, and its result is wrapped as its inputs were.
#pragma once

#include "../binding/arguments.hpp"
#include "../binding/call_error.hpp"
#include "../binding/py_ref.hpp"
#include "../binding/series_argument.hpp"
#include "groups.hpp"
#include "module_state.hpp"

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>
#include <string_view>
#include <utility>

namespace tarnwick::arrays {

// Whether `object` is a column container: not a list, tuple or ndarray, nor
// anything else read through a buffer, and of a type from pandas, polars or
// pyarrow, or exporting Arrow data through the PyCapsule interface. Lists,
// tuples and arrays cost a type check; may run code (an attribute lookup)
// for anything else.
[[nodiscard]] bool is_column_container(PyObject* object, PyObject* ndarray) noexcept;

// What the slots of a call read by tarnwick_frames borrow from, and what
// wraps its result; kept until the result is wrapped.
struct UnwrappedCall {
    OwnedRef positional; // a list, one item per positional parameter
    OwnedRef options;    // a dict of the options given
    OwnedRef finish;     // wraps the result
};

// Hands the call bound in `slots` (one per parameter of `d`, the first
// `series` of them series, every positional one given) to
// tarnwick_frames._unwrap with the series' names, which reads each container
// as numbers and may change the options to read them as the containers hold
// them; the slots then hold what it gave back, borrowed from `call`.
[[nodiscard]] CallStatus unwrap_columns(ModuleState& state, const FunctionDescription& d,
                                        std::size_t series, std::span<PyObject*> slots,
                                        UnwrappedCall& call) noexcept;

// The result of the call in the container of its first series; steals
// `result`, which may be null with an exception set.
[[nodiscard]] PyObject* wrap_result(const UnwrappedCall& call, PyObject* result) noexcept;

// The fast-call entry of the array function described by `D`, whose first
// `Series` parameters are series: binds the call into slots (its parameters,
// then its options) and runs `Run` on them once, with any column container
// among the series read as numbers by tarnwick_frames (unwrap_columns) and
// the result then wrapped as the first series was. The self argument is the
// module.
template <const FunctionDescription& D, std::size_t Series,
          PyObject* (*Run)(ModuleState&, std::span<PyObject* const>)>
PyObject* bound_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
    std::array<PyObject*, D.parameter_names.size()> slots{};
    if (CallStatus bound = extract_arguments_fastcall(D, args, nargs, kwnames, slots);
        bound.failed()) {
        return raised(std::move(bound.error()));
    }
    ModuleState& state = state_of(module);
    if (std::none_of(slots.begin(), slots.begin() + Series,
                     [&](PyObject* given) { return is_column_container(given, state.ndarray); })) {
        return Run(state, slots);
    }
    UnwrappedCall unwrapped;
    if (CallStatus read = unwrap_columns(state, D, Series, slots, unwrapped); read.failed()) {
        return raised(std::move(read.error()));
    }
    return wrap_result(unwrapped, Run(state, slots));
}

// The method record of bound_entry<D, Series, Run>, documented from `D`.
template <const FunctionDescription& D, std::size_t Series,
          PyObject* (*Run)(ModuleState&, std::span<PyObject* const>)>
PyMethodDef bound_record() noexcept {
    return {
        D.function_name.data(),
        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&bound_entry<D, Series, Run>)),
        METH_FASTCALL | METH_KEYWORDS, docstring<D>.data()};
}

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
