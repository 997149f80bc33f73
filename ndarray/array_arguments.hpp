// SPDX-License-Identifier: MIT
// The series arguments of an array call: how each is converted and held,
// and the shape they agree on. Shared by tarnwick_arrays' functions and the
// many-symbol streams of tarnwick_stream.
#pragma once

#include "../binding/arguments.hpp"
#include "../binding/converted_arguments.hpp"
#include "../binding/resize_guard.hpp"
#include "array_series.hpp"
#include "destination.hpp"

#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

namespace tarnwick::arrays {

// Below this many values per series argument the kernel runs with the lock
// held: letting it go and taking it back would cost more than the kernel.
constexpr std::size_t release_lock_from = 4096;

// What converting a series of an array call needs to know.
struct ArrayContext {
    std::string_view function;
    PyObject* ndarray;
    PiecesInPlace pieces = {};
};

// One series or one series per row (extract_array_series_into); the kernel
// on row r takes row r.
struct ToArraySeries {
    using Held = ArraySeries;
    using Passed = std::span<const double>;
    static constexpr bool is_series = true;
    static CallStatus convert(std::optional<Held>& slot, PyObject* o, std::string_view name,
                              const ArrayContext& context, InPlaceSeries& in_place) noexcept {
        CallStatus status = extract_array_series_into(slot.emplace(), o, context.function, name,
                                                      context.ndarray, in_place, context.pieces);
        if (status.failed()) {
            slot.reset();
        }
        return status;
    }
    static SeriesArgument& values(Held& series) noexcept { return series.values(); }
    static const SeriesArgument& values(const Held& series) noexcept { return series.values(); }
    static Passed pass(const Held& series, std::size_t row) noexcept { return series.row(row); }
};

// A copy that cannot be had is a MemoryError, reported by the entry; so is
// memory for a series' values, reported by its conversion.
struct ReportWhenCopyFails {
    static void copy_failed(std::size_t) noexcept {}
    static CallError out_of_memory(std::size_t bytes) noexcept {
        Text message("cannot allocate ");
        if (bytes == 0) {
            message += "the values of a series that long";
        } else {
            append_count(message, bytes, "byte", "bytes");
            message += " for the values of a series";
        }
        return CallError::pending(PyExc_MemoryError, std::move(message));
    }
};

inline CallError no_memory_for_copy(std::string_view function) noexcept {
    Text message = call_message(function);
    message += "cannot allocate a copy of an input";
    return CallError::pending(PyExc_MemoryError, std::move(message));
}

// Keeps every array the call reads in place, and the one it writes, from
// being resized by another thread while it runs without the lock. Once the
// destination is prepared: nothing may copy or re-export them after this.
template <class Arguments>
[[nodiscard]] CallStatus guard_against_resize(ResizeGuard& guard, const Arguments& converted,
                                              const Destination& destination,
                                              PyObject* ndarray) noexcept {
    // An indicator takes at most three series: there is room for them all.
    std::array<PyObject*, ResizeGuard::capacity> exporters{destination.array()};
    std::size_t n = 1;
    converted.for_each_series([&](std::size_t, const ArraySeries& series) {
        exporters[n++] = series.values().exporter();
    });
    return guard.hold(exporters, ndarray);
}

// The shape every series agrees on, or the ValueError naming the first series
// that disagrees with the first: one dimension each (lengths are the
// kernel's to check, with tarnwick's message), or the same two.
template <class Arguments>
[[nodiscard]] CallResult<Shape> agreed_shape(const FunctionDescription& d,
                                             const Arguments& converted) noexcept {
    std::optional<Shape> first;
    std::optional<CallError> disagreement;
    converted.for_each_series([&](std::size_t i, const ArraySeries& series) {
        const Shape& shape = series.shape();
        if (disagreement) {
            return;
        }
        if (!first) {
            first = shape;
            return;
        }
        if (shape.ndim == first->ndim && (shape.ndim == 1 || shape == *first)) {
            return;
        }
        Text message = call_message(d.function_name);
        message += '\'';
        message += d.parameter_names[i];
        message += "' has shape ";
        append_shape(message, shape);
        message += ", but '";
        message += d.parameter_names[0];
        message += "' has shape ";
        append_shape(message, *first);
        disagreement.emplace(CallError::pending(PyExc_ValueError, std::move(message)));
    });
    if (disagreement) {
        return std::move(*disagreement);
    }
    return *first;
}

} // namespace tarnwick::arrays
