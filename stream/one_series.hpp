// SPDX-License-Identifier: MIT
// update, peek and extend of a stream of one series: floats and series in,
// a float or a list out, as tarnwick takes and gives them.
#pragma once

#include "../binding/arguments.hpp"
#include "../binding/list_call.hpp"
#include "../binding/list_output.hpp"
#include "../ndarray/array_arguments.hpp"
#include "keys.hpp"
#include "object.hpp"
#include "stream_options.hpp"

#include <Python.h>

#include <array>
#include <utility>

namespace tarnwick::stream {

// One bar's values, or the error; `skip` is set when where= is false. Exact
// floats given by position are the common case and are read directly;
// anything else converts as tarnwick converts a number, with its note.
template <class I>
CallStatus read_bar(const FunctionDescription& d, double* bar, bool& skip, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames) noexcept {
    constexpr std::size_t k = Layout<I>::series;
    if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(k)) {
        std::size_t i = 0;
        for (; i < k && PyFloat_CheckExact(args[i]); ++i) {
            bar[i] = PyFloat_AsDouble(args[i]);
        }
        if (i == k) {
            return CallStatus::ok();
        }
    }
    std::array<PyObject*, k + BarOptions::count> slots{};
    if (CallStatus bound = extract_arguments_fastcall(d, args, nargs, kwnames, slots);
        bound.failed()) {
        return bound;
    }
    BarOptions options;
    if (CallStatus status =
            convert_options(options, d.function_name, slots.data(), k, 0, nullptr, nullptr);
        status.failed()) {
        return status;
    }
    ConvertedArguments<AbortWhenCopyFails> none; // numbers only: nothing is read in place
    for (std::size_t i = 0; i < k; ++i) {
        CallResult<double> v = extract_float(slots[i], d.parameter_names[i], none);
        if (v.failed()) {
            return std::move(v.error());
        }
        bar[i] = v.value();
    }
    if (PyObject* const where = options.value<WhereOption>(); where != nullptr) {
        const int truth = PyObject_IsTrue(where);
        if (truth < 0) {
            return argument_extraction_error("where", CallError::fetch());
        }
        skip = truth == 0;
    }
    return CallStatus::ok();
}

template <class I>
PyObject* one_bar(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  bool keep) noexcept {
    double bar[Layout<I>::series];
    bool skip = false;
    const FunctionDescription& d = keep ? Layout<I>::update : Layout<I>::peek;
    if (CallStatus read = read_bar<I>(d, bar, skip, args, nargs, kwnames); read.failed()) {
        return raised(std::move(read.error()));
    }
    if (skip) {
        return PyFloat_FromDouble(quiet_nan);
    }
    Stream<I>& s = stream_of<I>(self);
    double value = 0.0;
    {
        const Claim claim(s.busy);
        if (keep) {
            Record<I>& r = s.records[0];
            value = r.value = I::step(r.state, s.settings, bar);
        } else {
            Record<I> copy = s.records[0];
            value = I::step(copy.state, s.settings, bar);
        }
    }
    return PyFloat_FromDouble(value);
}

template <class I>
PyObject* extend_one(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
    using Arguments = typename SeriesOf<arrays::ReportWhenCopyFails, ToSeries, I>::type;
    using Output = ListOutput<WhenListFails::drop>;
    const FunctionDescription& d = Layout<I>::extend;
    Stream<I>& s = stream_of<I>(self);
    std::array<PyObject*, Layout<I>::series + BarsOptions::count> slots{};
    if (CallStatus bound = extract_arguments_fastcall(d, args, nargs, kwnames, slots);
        bound.failed()) {
        return raised(std::move(bound.error()));
    }
    BarsOptions options;
    if (CallStatus status = convert_options(options, d.function_name, slots.data(),
                                            Layout<I>::series, 0, nullptr, nullptr);
        status.failed()) {
        return raised(std::move(status.error()));
    }
    Arguments converted;
    if (CallStatus status = converted.convert(d, slots.data(), NoContext{}); status.failed()) {
        return raised(std::move(status.error()));
    }
    if (converted.copies_failed()) {
        return raised(arrays::no_memory_for_copy(d.function_name));
    }
    Output out;
    KernelStatus computed = KernelStatus::ok();
    {
        const Claim claim(s.busy);
        // On a copy, kept once every value is in the list: a list that memory
        // could not be had for changes nothing.
        Record<I> r = s.records[0];
        computed = converted.compute(
            [&](Output& o, auto... series) noexcept {
                KeepingLast<Output> keeping{o, r.value};
                return I::extend(keeping, r.state, s.settings, series...);
            },
            out);
        if (!computed.failed() && !out.dropped()) {
            s.records[0] = r;
        }
    }
    if (computed.failed()) {
        return raised(value_error(Text(message(computed.error()))));
    }
    return out.release();
}

} // namespace tarnwick::stream
