// SPDX-License-Identifier: MIT
// update, peek and extend of a stream of N symbols: numpy arrays of N values
// (or N rows) in, an array out, converted as tarnwick_arrays converts them,
// the interpreter lock let go for many values.
#pragma once

#include "../binding/arguments.hpp"
#include "../binding/float_series.hpp"
#include "../binding/resize_guard.hpp"
#include "../ndarray/array_arguments.hpp"
#include "../ndarray/destination.hpp"
#include "../ndarray/row_output.hpp"
#include "keys.hpp"
#include "object.hpp"
#include "stream_options.hpp"

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

namespace tarnwick::stream {

using arrays::Shape;

// The message for a series whose shape does not fit the stream's symbols.
CallError symbols_mismatch(const FunctionDescription& d, std::string_view parameter,
                           const Shape& shape, std::size_t symbols, bool rows) noexcept;

// A new float64 array of `shape`, made before any record is claimed.
CallStatus make_result(arrays::Destination& destination, PyObject* ndarray,
                       const FunctionDescription& d, const Shape& shape,
                       InPlaceSeries& in_place) noexcept;

// The flags of where=, a numpy array of dtype bool (a float's NaN, or any
// number, would be a guess at what the caller meant), copied into `flags` as
// 1.0 or 0.0; its shape, which the caller checks with the series'.
CallResult<Shape> read_where(const FunctionDescription& d, PyObject* where, PyObject* ndarray,
                             FloatSeries& flags, InPlaceSeries& in_place) noexcept;

// Whether a call over `values` lets go of the interpreter lock: below this
// many, letting go and taking it back would cost more than the work.
inline bool unlocked(std::size_t values) noexcept {
    return values >= arrays::release_lock_from;
}

// Before a call lets go of the lock, the arrays it reads in place and the
// result it writes are kept from being resized by another thread
// (resize_guard.hpp): numpy would otherwise free their memory under it. A
// call lets go of it to compute over many values, or to wait for another
// thread's claim on the stream (`busy`), however few values it has.
template <class Arguments>
CallStatus guard_inputs(const FunctionDescription& d, ResizeGuard& guard, std::size_t values,
                        const ClaimQueue& busy, const Arguments& converted,
                        const arrays::Destination& destination, PyObject* ndarray) noexcept {
    if (converted.copies_failed()) {
        return arrays::no_memory_for_copy(d.function_name);
    }
    if (!unlocked(values) && !Claim::held_elsewhere(busy)) {
        return CallStatus::ok();
    }
    return arrays::guard_against_resize(guard, converted, destination, ndarray);
}

// Runs `work` with the interpreter lock let go when there is enough of it.
template <class Work> void maybe_without_lock(std::size_t values, Work work) noexcept {
    PyThreadState* saved = unlocked(values) ? PyEval_SaveThread() : nullptr;
    work();
    if (saved != nullptr) {
        PyEval_RestoreThread(saved);
    }
}

// The series of a call converted from `slots`, and the shape they agree on.
template <class Converted>
CallResult<Shape> converted_shape(const FunctionDescription& d, PyObject* ndarray,
                                  PyObject* const* slots, Converted& converted) noexcept {
    if (CallStatus status =
            converted.convert(d, slots, arrays::ArrayContext{d.function_name, ndarray});
        status.failed()) {
        return std::move(status.error());
    }
    return arrays::agreed_shape(d, converted);
}

// The result array of `shape`, and the inputs guarded when the call lets go
// of the lock for `values`.
template <class I, class Converted>
CallStatus result_and_guard(const FunctionDescription& d, Stream<I>& s, const Shape& shape,
                            std::size_t values, Converted& converted,
                            arrays::Destination& destination, ResizeGuard& guard) noexcept {
    if (CallStatus made = make_result(destination, s.ndarray, d, shape, converted); made.failed()) {
        return made;
    }
    return guard_inputs(d, guard, values, s.busy, converted, destination, s.ndarray);
}

// update, peek or extend with by=: rows of one bar each, in any order, each
// row's symbol named by its key in `by`; a row steps its symbol's record as
// that symbol's own update would, rows of one symbol in their order. peek
// steps copies of the records, so its rows of one symbol follow each other
// as update's would.
template <class I>
PyObject* keyed_bars(Stream<I>& s, const FunctionDescription& d, PyObject* const* slots,
                     const RowPlaces& places, bool keep) noexcept {
    constexpr std::size_t k = Layout<I>::series;
    typename SeriesOf<arrays::ReportWhenCopyFails, arrays::ToArraySeries, I>::type converted;
    CallResult<Shape> agreed = converted_shape(d, s.ndarray, slots, converted);
    if (agreed.failed()) {
        return raised(std::move(agreed.error()));
    }
    const Shape shape = agreed.value();
    if (shape.ndim != 1) {
        return raised(symbols_mismatch(d, d.parameter_names[0], shape, s.symbols, false));
    }
    if (shape.columns != places.rows) {
        return raised(rows_mismatch(d.function_name, places.rows, shape.columns));
    }
    arrays::Destination destination;
    ResizeGuard guard;
    if (CallStatus ready =
            result_and_guard(d, s, shape, shape.columns, converted, destination, guard);
        ready.failed()) {
        return raised(std::move(ready.error()));
    }
    struct Copies {
        Record<I>* records;
        ~Copies() { std::free(records); }
    } copies{keep ? nullptr : static_cast<Record<I>*>(std::malloc(sizeof(Record<I>) * s.symbols))};
    if (!keep && copies.records == nullptr) {
        return PyErr_NoMemory();
    }
    std::array<std::span<const double>, k> columns{};
    converted.for_each_series([&](std::size_t i, const arrays::ArraySeries& series) {
        columns[i] = series.all_values();
    });
    arrays::RowOutput out = destination.row(0);
    const Claim claim(s.busy);
    Record<I>* records = s.records;
    if (!keep) {
        std::memcpy(static_cast<void*>(copies.records), s.records, sizeof(Record<I>) * s.symbols);
        records = copies.records;
    }
    maybe_without_lock(shape.columns, [&] {
        double bar[k];
        for (std::size_t r = 0; r < shape.columns; ++r) {
            for (std::size_t j = 0; j < k; ++j) {
                bar[j] = columns[j][r];
            }
            Record<I>& record = records[places.at[r]];
            out.put(r, record.value = I::step(record.state, settings_of(s, places.at[r]), bar));
        }
    });
    return destination.release();
}

// A float64 array of `value(i)` for each symbol i, read under the claim.
template <class I, class Value> PyObject* symbol_array(Stream<I>& s, Value value) noexcept {
    arrays::Destination destination;
    ConvertedArguments<arrays::ReportWhenCopyFails> nothing;
    if (CallStatus made = make_result(destination, s.ndarray, Layout<I>::construction,
                                      {1, 1, s.symbols}, nothing);
        made.failed()) {
        return raised(std::move(made.error()));
    }
    arrays::RowOutput out = destination.row(0);
    const Claim claim(s.busy);
    for (std::size_t i = 0; i < s.symbols; ++i) {
        out.put(i, value(i));
    }
    return destination.release();
}

template <class I>
PyObject* many_bars(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    bool keep) noexcept {
    using L = Layout<I>;
    constexpr std::size_t k = L::series;
    const FunctionDescription& d = keep ? L::update : L::peek;
    Stream<I>& s = stream_of<I>(self);
    std::array<PyObject*, k + BarOptions::count> slots{};
    if (CallStatus bound = extract_arguments_fastcall(d, args, nargs, kwnames, slots);
        bound.failed()) {
        return raised(std::move(bound.error()));
    }
    BarOptions options;
    if (CallStatus status = convert_options(options, d.function_name, slots.data(), k, s.symbols,
                                            s.places, s.ndarray);
        status.failed()) {
        return raised(std::move(status.error()));
    }
    if (const std::optional<RowPlaces>& by = options.value<ByOption>()) {
        return keyed_bars<I>(s, d, slots.data(), *by, keep);
    }
    PyObject* const where = options.value<WhereOption>();
    const arrays::ArrayContext context{d.function_name, s.ndarray};
    typename SeriesOf<arrays::ReportWhenCopyFails, arrays::ToArraySeries, I>::type converted;
    if (CallStatus status = converted.convert(d, slots.data(), context); status.failed()) {
        return raised(std::move(status.error()));
    }
    FloatSeries flags;
    const bool has_where = where != nullptr;
    std::array<Shape, k + 1> shapes{};
    if (has_where) {
        CallResult<Shape> shape = read_where(d, where, s.ndarray, flags, converted);
        if (shape.failed()) {
            return raised(std::move(shape.error()));
        }
        shapes[k] = shape.value();
    }
    converted.for_each_series(
        [&](std::size_t i, const arrays::ArraySeries& series) { shapes[i] = series.shape(); });
    for (std::size_t i = 0; i < (has_where ? k + 1 : k); ++i) {
        if (shapes[i].ndim != 1 || shapes[i].columns != s.symbols) {
            return raised(symbols_mismatch(d, d.parameter_names[i], shapes[i], s.symbols, false));
        }
    }
    arrays::Destination destination;
    if (CallStatus made = make_result(destination, s.ndarray, d, {1, 1, s.symbols}, converted);
        made.failed()) {
        return raised(std::move(made.error()));
    }
    ResizeGuard guard;
    if (CallStatus held =
            guard_inputs(d, guard, s.symbols, s.busy, converted, destination, s.ndarray);
        held.failed()) {
        return raised(std::move(held.error()));
    }
    std::array<std::span<const double>, k + 1> columns{};
    converted.for_each_series([&](std::size_t i, const arrays::ArraySeries& series) {
        columns[i] = series.all_values();
    });
    columns[k] = flags.view();
    arrays::RowOutput out = destination.row(0);
    const Claim claim(s.busy);
    maybe_without_lock(s.symbols, [&] {
        double bar[k];
        for (std::size_t i = 0; i < s.symbols; ++i) {
            if (has_where && !(columns[k][i] != 0.0)) {
                out.put(i, quiet_nan);
                continue;
            }
            for (std::size_t j = 0; j < k; ++j) {
                bar[j] = columns[j][i];
            }
            Record<I>& r = s.records[i];
            if (keep) {
                out.put(i, r.value = I::step(r.state, settings_of(s, i), bar));
            } else {
                typename I::State copy = r.state;
                out.put(i, I::step(copy, settings_of(s, i), bar));
            }
        }
    });
    return destination.release();
}

template <class I>
PyObject* extend_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
    using L = Layout<I>;
    const FunctionDescription& d = L::extend;
    Stream<I>& s = stream_of<I>(self);
    std::array<PyObject*, L::series + BarsOptions::count> slots{};
    if (CallStatus bound = extract_arguments_fastcall(d, args, nargs, kwnames, slots);
        bound.failed()) {
        return raised(std::move(bound.error()));
    }
    BarsOptions options;
    if (CallStatus status = convert_options(options, d.function_name, slots.data(), L::series,
                                            s.symbols, s.places, s.ndarray);
        status.failed()) {
        return raised(std::move(status.error()));
    }
    if (const std::optional<RowPlaces>& by = options.value<ByOption>()) {
        return keyed_bars<I>(s, d, slots.data(), *by, true);
    }
    typename SeriesOf<arrays::ReportWhenCopyFails, arrays::ToArraySeries, I>::type converted;
    CallResult<Shape> agreed = converted_shape(d, s.ndarray, slots.data(), converted);
    if (agreed.failed()) {
        return raised(std::move(agreed.error()));
    }
    const Shape shape = agreed.value();
    if (shape.ndim != 2 || shape.rows != s.symbols) {
        return raised(symbols_mismatch(d, d.parameter_names[0], shape, s.symbols, true));
    }
    arrays::Destination destination;
    ResizeGuard guard;
    if (CallStatus ready = result_and_guard(d, s, shape, shape.rows * shape.columns, converted,
                                            destination, guard);
        ready.failed()) {
        return raised(std::move(ready.error()));
    }
    const Claim claim(s.busy);
    KernelStatus computed = KernelStatus::ok();
    maybe_without_lock(shape.rows * shape.columns, [&] {
        for (std::size_t r = 0; r < shape.rows && !computed.failed(); ++r) {
            arrays::RowOutput row = destination.row(r);
            Record<I>& record = s.records[r];
            computed = converted.compute(
                [&](arrays::RowOutput& o, auto... series) noexcept {
                    KeepingLast<arrays::RowOutput> keeping{o, record.value};
                    return I::extend(keeping, record.state, settings_of(s, r), series...);
                },
                row, r);
        }
    });
    if (computed.failed()) {
        return raised(value_error(Text(message(computed.error()))));
    }
    return destination.release();
}

} // namespace tarnwick::stream
