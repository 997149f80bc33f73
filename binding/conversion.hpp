// SPDX-License-Identifier: MIT
// Conversions between Python values and the native values the kernels take.
// Every error they return already carries the note naming the parameter.
#pragma once

#include "call_error.hpp"
#include "float_series.hpp"
#include "series_argument.hpp"

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>

namespace tarnwick {

// Each conversion takes the call's series read in place so far, and copies
// them before it runs code of the caller's that could write to them.

// Any non-str object that passes PySequence_Check, with the value of each
// item of its iteration as a number (what float() gives for a number; a str
// item is refused, never parsed), converted into
// `argument` (empty on entry, and held where it is: it may come to own an
// export of the object's buffer); the error, if any. Exact lists and tuples
// are read by index and one-dimensional buffers of known types straight
// from memory (native doubles in place), which yields the same values
// without making an iterator or an object per item.
[[nodiscard]] CallStatus extract_float_series_into(SeriesArgument& argument, PyObject* object,
                                                   std::string_view parameter,
                                                   InPlaceSeries& in_place) noexcept;

// Reads one item of a buffer as a double.
using ItemReader = double (*)(const char* item) noexcept;

// The byte orders a buffer's format may name: only the machine's own, with
// native sizes (no prefix or '@'), or also '=', '<', '>' and '!' with
// standard sizes.
enum class ByteOrders : unsigned char { native, any };

// For a buffer whose format is a single numeric or bool struct code, in one
// of `orders`, the reader that gives each item the value float(item) has;
// null for any other format.
[[nodiscard]] ItemReader item_reader(const Py_buffer& view, ByteOrders orders) noexcept;

// Whether `reader` reads doubles in the machine's byte order, which the
// kernels can read in place.
[[nodiscard]] bool reads_doubles(ItemReader reader) noexcept;

// A float, or any object with __float__ or __index__.
[[nodiscard]] CallResult<double> extract_float(PyObject* object, std::string_view parameter,
                                               InPlaceSeries& in_place) noexcept;

// A non-negative int below 2**64: an int (bool included) or any object with
// __index__. Floats are refused.
[[nodiscard]] CallResult<std::uint64_t> extract_index(PyObject* object, std::string_view parameter,
                                                      InPlaceSeries& in_place) noexcept;

} // namespace tarnwick
