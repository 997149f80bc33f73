// SPDX-License-Identifier: MIT
// One series argument of an array call: one series (a one-dimensional array
// or anything tarnwick takes as a series) or one series per row (a
// two-dimensional numpy array), its values held row after row.
#pragma once

#include "../binding/buffer_export.hpp"
#include "../binding/call_error.hpp"
#include "../binding/resize_guard.hpp"
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

// A series argument given by tarnwick_frames as float64 arrays read in place
// without joining them: one per row (a frame's columns, each in memory of its
// own) or one after the other (the chunks of an Arrow ChunkedArray).
class Pieces {
  public:
    Pieces() noexcept = default;
    Pieces(const Pieces&) = delete;
    Pieces& operator=(const Pieces&) = delete;
    ~Pieces() { release(); }

    [[nodiscard]] std::size_t count() const noexcept { return count_; }
    [[nodiscard]] std::span<const double> operator[](std::size_t i) const noexcept {
        return spans_[i];
    }
    // Where each piece starts, for the vector lanes' rows.
    [[nodiscard]] const double* const* starts() const noexcept { return starts_; }
    [[nodiscard]] std::size_t length() const noexcept { return length_; }

    // Room for `count` pieces; false if it cannot be had.
    [[nodiscard]] bool make_room(std::size_t count) noexcept;
    // Exports piece i of `object` (an exact float64 ndarray, one dimension,
    // aligned and contiguous); false when it is not one.
    [[nodiscard]] bool take(std::size_t i, PyObject* piece, PyObject* ndarray) noexcept;
    // Keeps the memory of every piece taken from being resized until the
    // pieces are released, as the call's own guard does for the arrays it
    // reads whole (resize_guard.hpp): the kernel reads them without the lock.
    [[nodiscard]] CallStatus guard(PyObject* ndarray) noexcept;
    void release() noexcept;

  private:
    // The module links no C++ runtime: plain allocations, and the exports
    // made and ended in place.
    BufferExport* exports_ = nullptr;
    std::span<const double>* spans_ = nullptr;
    const double** starts_ = nullptr;
    ResizeGuard* guards_ = nullptr; // one per ResizeGuard::capacity pieces
    std::size_t guard_count_ = 0;
    std::size_t count_ = 0;
    std::size_t length_ = 0;
};

// How an argument given in pieces is held: joined into one array (the
// default), or in place as rows or as chunks where the call can read it so.
struct PiecesInPlace {
    bool rows = false;
    bool chunks = false;
};

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
    // Every value row after row; empty while held in pieces.
    [[nodiscard]] std::span<const double> all_values() const noexcept { return values_.values(); }
    // Row r, or an empty series if there are no rows.
    [[nodiscard]] std::span<const double> row(std::size_t r) const noexcept {
        if (shape_.rows == 0) {
            return {};
        }
        if (pieces_.count() != 0 && shape_.ndim == 2) {
            return pieces_[r];
        }
        return values_.values().subspan(r * shape_.columns, shape_.columns);
    }
    // The pieces still read in place: rows when two-dimensional, chunks of
    // the one series otherwise. None for values held whole.
    [[nodiscard]] const Pieces& pieces() const noexcept { return pieces_; }
    [[nodiscard]] bool in_pieces() const noexcept { return pieces_.count() != 0; }
    [[nodiscard]] Pieces& pieces() noexcept { return pieces_; }
    // The pieces joined into values of the series' own; false if the memory
    // cannot be had.
    [[nodiscard]] bool join() noexcept;

  private:
    SeriesArgument values_;
    Pieces pieces_;
    Shape shape_;
};

// Converts `object`, the argument of `parameter` of `function`, into
// `series` (empty on entry). A numpy.ndarray, or an instance of a subclass,
// of one or two dimensions and a numeric dtype in any byte order is read
// through its buffer: aligned native float64 rows laid out one after the
// other in place, anything else converted item by item to the value float()
// gives it. A masked array, and an array whose dtype has no buffer form, is
// converted row by row as tarnwick converts a series (a masked item is NaN).
// tarnwick_frames' rows or chunks (its _Rows and _Chunks) are read in place
// where `pieces` says the call can, and joined otherwise.
// A pandas or polars DataFrame is refused: its iteration is not its values
// (tarnwick_arrays' functions hand such columns to tarnwick_frames before
// converting anything; the many-symbol streams refuse them here).
// Anything else is converted as tarnwick converts a series, so every value
// is the one tarnwick would see. More than two dimensions is a ValueError,
// and memory that cannot be had for the values a MemoryError.
[[nodiscard]] CallStatus extract_array_series_into(ArraySeries& series, PyObject* object,
                                                   std::string_view function,
                                                   std::string_view parameter, PyObject* ndarray,
                                                   InPlaceSeries& in_place,
                                                   PiecesInPlace pieces = {}) noexcept;

} // namespace tarnwick::arrays
