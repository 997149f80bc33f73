// SPDX-License-Identifier: MIT
// One series argument of an array call: one series (a one-dimensional array
// or anything tarnwick takes as a series) or one series per row (a
// two-dimensional numpy array), its values held row after row.
#pragma once

#include "../binding/call_error.hpp"
#include "../binding/series_argument.hpp"

#include <Python.h>

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

namespace tarnwick::arrays {

struct Shape {
    int ndim = 1;            // 1 or 2
    std::size_t rows = 1;    // 1 when ndim is 1
    std::size_t columns = 0; // the length of each series

    friend bool operator==(const Shape&, const Shape&) = default;
};

// The shape of a buffer of one or two dimensions.
[[nodiscard]] Shape shape_of(const Py_buffer& view) noexcept;

// "(5,)" or "(3, 5)", as numpy writes a shape.
void append_shape(Text& text, const Shape& shape);

// The start of a message about a call of `function`: "name(): ".
[[nodiscard]] Text call_message(std::string_view function);

class ArraySeries {
  public:
    ArraySeries() noexcept = default;
    // Held where it was made, like the SeriesArgument it holds.
    ArraySeries(const ArraySeries&) = delete;
    ArraySeries& operator=(const ArraySeries&) = delete;

    [[nodiscard]] const Shape& shape() const noexcept { return shape_; }
    void set_shape(const Shape& shape) noexcept { shape_ = shape; }
    [[nodiscard]] SeriesArgument& values() noexcept { return values_; }
    [[nodiscard]] const SeriesArgument& values() const noexcept { return values_; }
    [[nodiscard]] std::span<const double> all_values() const noexcept { return values_.values(); }
    // Row r, or an empty series if there are no rows.
    [[nodiscard]] std::span<const double> row(std::size_t r) const noexcept {
        if (shape_.rows == 0) {
            return {};
        }
        return values_.values().subspan(r * shape_.columns, shape_.columns);
    }

  private:
    SeriesArgument values_;
    Shape shape_;
};

// Converts `object`, the argument of `parameter` of `function`, into
// `series` (empty on entry). A numpy.ndarray, or an instance of a subclass,
// of one or two dimensions and a numeric dtype in any byte order is read
// through its buffer: aligned native float64 rows laid out one after the
// other in place, anything else converted item by item to the value float()
// gives it. A masked array, and an array whose dtype has no buffer form, is
// converted row by row as tarnwick converts a series (a masked item is NaN).
// A pandas or polars DataFrame is refused: its iteration is not its values
// (tarnwick_arrays' functions hand such columns to tarnwick_frames before
// converting anything; the many-symbol streams refuse them here).
// Anything else is converted as tarnwick converts a series, so every value
// is the one tarnwick would see. More than two dimensions is a ValueError,
// and memory that cannot be had for the values a MemoryError.
[[nodiscard]] CallStatus extract_array_series_into(ArraySeries& series, PyObject* object,
                                                   std::string_view function,
                                                   std::string_view parameter, PyObject* ndarray,
                                                   InPlaceSeries& in_place) noexcept;

} // namespace tarnwick::arrays
