// SPDX-License-Identifier: MIT
// A call whose series are sequences of numbers and whose result is a list:
// every function of tarnwick (module/functions.cpp instantiates it once per
// indicator of the catalogue, which names the kernel and the kind of each
// parameter) and the one-series extend() of tarnwick_stream. The life of one
// call:
//
//   bind     extract_arguments_fastcall matches the fast-call arguments to the
//            parameter slots, borrowing them. A fault is a TypeError and
//            nothing is converted (arguments.hpp).
//   convert  each parameter in declaration order with the conversion its row
//            kind gives (ToSeries below, ToFloat or ToIndex). The first failure
//            is raised with its note, and later parameters are not looked at.
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

#include "converted_arguments.hpp"
#include "list_output.hpp"

#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

namespace tarnwick {

// A sequence of numbers (extract_float_series), as one series.
struct ToSeries {
    using Held = SeriesArgument;
    using Passed = std::span<const double>;
    static constexpr bool is_series = true;
    template <class Context>
    static CallStatus convert(std::optional<Held>& slot, PyObject* o, std::string_view name,
                              const Context&, InPlaceSeries& in_place) noexcept {
        CallStatus status = extract_float_series_into(slot.emplace(), o, name, in_place);
        if (status.failed()) {
            slot.reset();
        }
        return status;
    }
    static SeriesArgument& values(Held& series) noexcept { return series; }
    static const SeriesArgument& values(const Held& series) noexcept { return series; }
    static Passed pass(const Held& series, std::size_t /*row*/) noexcept { return series.values(); }
};

// Exhausted memory ends the process, as every allocation of a list call does.
struct AbortWhenCopyFails {
    static void copy_failed(std::size_t bytes) noexcept { allocation_failed(bytes); }
    [[noreturn]] static CallError out_of_memory(std::size_t bytes) noexcept {
        if (bytes == 0) {
            fatal("capacity overflow");
        }
        allocation_failed(bytes);
    }
};

struct NoContext {};

// Binds the arguments of a fast call described by `d` to its `Slots`
// parameters and converts them into `converted`; the first error, if any.
template <std::size_t Slots, class Arguments, class Context>
CallStatus bind_and_convert(const FunctionDescription& d, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames, Arguments& converted,
                            const Context& context) noexcept {
    std::array<PyObject*, Slots> slots{};
    if (CallStatus bound = extract_arguments_fastcall(d, args, nargs, kwnames, slots);
        bound.failed()) {
        return bound;
    }
    return converted.convert(d, slots.data(), context);
}

// Binds and converts the arguments of a fast call described by `D` into
// `Arguments`, then `compute(out, converted)` writes the list; the list, or
// null with the error raised.
template <class Arguments, std::size_t Slots, class Compute>
PyObject* list_call(const FunctionDescription& d, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, Compute compute) noexcept {
    Arguments converted;
    if (CallStatus status =
            bind_and_convert<Slots>(d, args, nargs, kwnames, converted, NoContext{});
        status.failed()) {
        return raised(std::move(status.error()));
    }
    FloatListOutput out;
    if (KernelStatus computed = compute(out, converted); computed.failed()) {
        return raised(CallError::pending(PyExc_ValueError, Text(message(computed.error()))));
    }
    return out.release();
}

// The fast-call entry of tarnwick's function for indicator `I`, described by
// `D`. The self argument is always null (the functions are static) and unused.
template <class I, const FunctionDescription& D>
PyObject* entry(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) noexcept {
    using Arguments = typename ArgumentsOf<AbortWhenCopyFails, ToSeries, I>::type;
    return list_call<Arguments, I::parameters.size()>(
        D, args, nargs, kwnames, [](FloatListOutput& out, const Arguments& converted) noexcept {
            return converted.compute(I::template kernel<FloatListOutput>, out);
        });
}

} // namespace tarnwick
