// SPDX-License-Identifier: MIT
// SeriesWalk: the series of an array call as its kernel sees them. They are
// the rows of two-dimensional inputs (axis -1 or 1, numpy's last axis) or
// their columns (axis 0: a wide frame's values, dates down and symbols
// across), and a bar where any input is NaN is the kernel's to see
// (nan_policy "propagate"), refused before anything is computed ("raise"),
// or left out ("omit": the kernel runs on the present bars of the series
// only, each result put back at its bar and NaN at the others, so the
// recursion carries on from the last present bar).
//
// Rows are read in place and written straight into the result. Columns are
// gathered a block at a time, one pass over the inputs' rows filling a
// series per column, and their results go back the same way: a column read
// or written in place would touch a cache line per bar. The present bars of a series are gathered
// into scratch storage, and the kernel writes into scratch storage that is then spread over the
// series' bars. An indicator of F values per bar has F of each result.
#pragma once

#include "../binding/call_error.hpp"
#include "../binding/float_series.hpp"
#include "../indicators/kernel_error.hpp"
#include "../ndarray/array_arguments.hpp"
#include "../ndarray/array_series.hpp"
#include "../ndarray/destination.hpp"
#include "../ndarray/row_output.hpp"

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <limits>
#include <span>
#include <string_view>

namespace tarnwick::arrays {

enum class NanPolicy : unsigned char { propagate, omit, raise };

// Where series given in pieces are read in place: rows by the walk and the
// lanes unless `out`, `axis` or `by` is given or NaN is refused (those read
// the values whole), chunks by the chunk walk (chunks.hpp) under
// "propagate" alone ("omit" gathers the present bars anyway). Null or None
// for a keyword not given; an unknown policy reads nothing in place.
[[nodiscard]] PiecesInPlace pieces_in_place(PyObject* out, PyObject* axis, PyObject* policy,
                                            PyObject* by) noexcept;

// How many of the series in `pieces` hold a NaN: each row, or the one
// series its chunks make.
[[nodiscard]] std::size_t pieces_holding_nan(const Pieces& pieces, const Shape& shape) noexcept;

// Whether `axis` (null when not given, which is -1) makes the series of
// inputs of `shape` their columns: an integer through __index__ (a TypeError
// with the parameter's note otherwise), from -ndim to ndim - 1 (a ValueError
// in numpy's words otherwise).
[[nodiscard]] CallResult<bool> series_are_columns(PyObject* axis, std::string_view function,
                                                  const Shape& shape,
                                                  InPlaceSeries& in_place) noexcept;

// "propagate" when null, or the policy the str names; a ValueError otherwise.
[[nodiscard]] CallResult<NanPolicy> extract_nan_policy(PyObject* policy,
                                                       std::string_view function) noexcept;

// The ValueError naming the first of `inputs` (`names[i]` the name of
// inputs[i]) that holds a NaN, and where, as an index into an array of
// `shape`; none if there is no NaN.
[[nodiscard]] CallStatus refuse_nan(std::string_view function,
                                    std::span<const std::string_view> names,
                                    std::span<const std::span<const double>> inputs,
                                    const Shape& shape) noexcept;

template <std::size_t S, std::size_t F = 1> class SeriesWalk {
  public:
    using Series = std::array<std::span<const double>, S>;

    SeriesWalk(const Shape& shape, bool by_column, NanPolicy policy, const Series& inputs) noexcept
        : shape_(shape), by_column_(by_column && shape.ndim == 2), omit_(policy == NanPolicy::omit),
          inputs_(inputs) {}
    SeriesWalk(const SeriesWalk&) = delete;
    SeriesWalk& operator=(const SeriesWalk&) = delete;

    // Room for what the walk gathers, or the MemoryError.
    [[nodiscard]] CallStatus make_room(std::string_view function) noexcept {
        const std::size_t length = by_column_ ? shape_.rows : shape_.columns;
        bool room = true;
        for (std::size_t s = 0; s < S; ++s) {
            if (by_column_) {
                room = room && length <= std::numeric_limits<std::size_t>::max() / block &&
                       gathered_[s].try_resize_uninitialized(block * length);
            }
            if (omit_) {
                room = room && present_[s].try_resize_uninitialized(length);
            }
        }
        room = room && length <= std::numeric_limits<std::size_t>::max() / (F * block);
        room = room && (!omit_ || result_.try_resize_uninitialized(F * length));
        room = room && (!by_column_ || written_.try_resize_uninitialized(F * block * length));
        if (!room) {
            return no_memory_for_copy(function);
        }
        return CallStatus::ok();
    }

    // Whether each series is every bar of its row or column, as the vector
    // lanes take them: nothing is left out.
    [[nodiscard]] bool lanes_take_all_bars() const noexcept { return !omit_; }
    // The rows of the series held in pieces read where they lie.
    void read_pieces(const std::array<const Pieces*, S>& pieces) noexcept { pieces_ = pieces; }
    [[nodiscard]] bool by_column() const noexcept { return by_column_; }

    // `kernel(out, series)` on each series in turn from series `from` (the
    // ones before it done already), writing
    // `destination`; once with empty series if there are none. The first
    // refusal ends it.
    template <class Kernel>
    [[nodiscard]] KernelStatus run(const Destination& destination, std::size_t from,
                                   Kernel&& kernel) noexcept {
        const std::size_t series_count = by_column_ ? shape_.columns : shape_.rows;
        // No columns: one call on empty series, with nothing to gather or
        // spread back (a column of an (n, 0) input has no values to read).
        const bool columns = by_column_ && series_count > 0;
        const std::size_t count = std::max<std::size_t>(1, series_count);
        for (std::size_t first = from; first < count; first += block) {
            const std::size_t in_block = std::min(block, count - first);
            if (columns) {
                gather(first, in_block);
            }
            for (std::size_t j = first; j < first + in_block; ++j) {
                RowOutput out = by_column_ ? written(j - first) : destination.row(j);
                const Series series = columns      ? gathered(j - first)
                                      : by_column_ ? Series{}
                                                   : row(j);
                const KernelStatus status = step(out, series, kernel, j);
                if (status.failed()) {
                    return status;
                }
            }
            if (columns) {
                scatter(destination, first, in_block);
            }
        }
        return KernelStatus::ok();
    }

    // `kernel(out, series, index)` on one series of its own (series `index`
    // of the call, or a group of a long table's rows), leaving out NaN bars
    // under "omit".
    template <class Kernel>
    [[nodiscard]] KernelStatus step(RowOutput& out, const Series& series, Kernel& kernel,
                                    std::size_t index = 0) noexcept {
        return omit_ ? omitting(out, series, kernel, index) : kernel(out, series, index);
    }

  private:
    // Columns gathered per pass over the rows: a cache line of doubles.
    static constexpr std::size_t block = 8;

    // Row r of two-dimensional inputs, or the whole of one-dimensional ones
    // (whose lengths the kernel checks).
    Series row(std::size_t r) const noexcept {
        Series series{};
        for (std::size_t s = 0; s < S; ++s) {
            series[s] = shape_.ndim == 1   ? inputs_[s]
                        : shape_.rows == 0 ? std::span<const double>()
                        : pieces_[s] != nullptr
                            ? (*pieces_[s])[r]
                            : inputs_[s].subspan(r * shape_.columns, shape_.columns);
        }
        return series;
    }

    void gather(std::size_t first, std::size_t in_block) noexcept {
        const std::size_t rows = shape_.rows;
        const std::size_t columns = shape_.columns;
        for (std::size_t s = 0; s < S; ++s) {
            const double* from = inputs_[s].data() + first;
            double* to = gathered_[s].data();
            for (std::size_t k = 0; k < rows; ++k) {
                for (std::size_t b = 0; b < in_block; ++b) {
                    to[b * rows + k] = from[k * columns + b];
                }
            }
        }
    }

    // The block's results, written down the result's columns a row at a time.
    void scatter(const Destination& destination, std::size_t first,
                 std::size_t in_block) const noexcept {
        const std::size_t plane = block * shape_.rows;
        for (std::size_t k = 0; k < shape_.rows; ++k) {
            for (std::size_t f = 0; f < F; ++f) {
                RowOutput row = destination.row(k).field(f);
                for (std::size_t b = 0; b < in_block; ++b) {
                    row.put(first + b, written_.view()[f * plane + b * shape_.rows + k]);
                }
            }
        }
    }

    RowOutput written(std::size_t b) noexcept {
        return {reinterpret_cast<char*>(written_.data() + b * shape_.rows), sizeof(double),
                static_cast<std::ptrdiff_t>(block * shape_.rows * sizeof(double))};
    }

    Series gathered(std::size_t b) noexcept {
        Series series{};
        for (std::size_t s = 0; s < S; ++s) {
            series[s] = {gathered_[s].data() + b * shape_.rows, shape_.rows};
        }
        return series;
    }

    static bool present(const Series& series, std::size_t k) noexcept {
        for (const std::span<const double> values : series) {
            if (values[k] != values[k]) {
                return false;
            }
        }
        return true;
    }

    template <class Kernel>
    KernelStatus omitting(RowOutput& out, const Series& series, Kernel& kernel,
                          std::size_t index) noexcept {
        const std::size_t length = series[0].size();
        for (const std::span<const double> values : series) {
            if (values.size() != length) {
                return kernel(out, series, index); // the kernel's to refuse
            }
        }
        std::size_t kept = 0;
        for (std::size_t k = 0; k < length; ++k) {
            if (present(series, k)) {
                for (std::size_t s = 0; s < S; ++s) {
                    present_[s][kept] = series[s][k];
                }
                ++kept;
            }
        }
        Series compact{};
        for (std::size_t s = 0; s < S; ++s) {
            compact[s] = {present_[s].data(), kept};
        }
        RowOutput into(reinterpret_cast<char*>(result_.data()), sizeof(double),
                       static_cast<std::ptrdiff_t>(kept * sizeof(double)));
        if (const KernelStatus status = kernel(into, compact, index); status.failed()) {
            return status;
        }
        for (std::size_t f = 0; f < F; ++f) {
            RowOutput field = out.field(f);
            const double* values = result_.data() + f * kept;
            std::size_t at = 0;
            for (std::size_t k = 0; k < length; ++k) {
                field.put(k, present(series, k) ? values[at++]
                                                : std::numeric_limits<double>::quiet_NaN());
            }
        }
        return KernelStatus::ok();
    }

    Shape shape_;
    bool by_column_;
    bool omit_;
    Series inputs_;
    std::array<const Pieces*, S> pieces_{};
    std::array<FloatSeries, S> gathered_;
    std::array<FloatSeries, S> present_;
    FloatSeries result_;
    FloatSeries written_;
};

} // namespace tarnwick::arrays
