// SPDX-License-Identifier: MIT
// The series of a two-dimensional array call that run side by side in
// vector lanes (indicators/rows.hpp), before the one-by-one walk takes the rest.
#pragma once

#include "../binding/catalogue.hpp"
#include "../ndarray/array_series.hpp"
#include "../ndarray/destination.hpp"
#include "../ndarray/row_output.hpp"

#include <array>
#include <cstddef>
#include <optional>

namespace tarnwick::arrays {

// Whether series laid out one after another (a panel's rows, a long table's
// groups) are stepped in vector lanes. Not for an indicator whose rows go
// faster alone, nor with a seed given (or numbers one per row): the lanes
// then have no seeds to sum for many rows at once, and their transposes in
// and out cost more than they save (1.1-1.8x the one-series pass on every
// x86-64 path).
template <class I>
[[nodiscard]] bool rows_take_lanes(const std::optional<double>& seed, bool own_numbers) noexcept {
    return I::steps_rows_in_lanes() && !seed && !own_numbers;
}

// How many series from the first indicator `I` computed into `destination`:
// none unless there are series enough for the lanes. The series are the
// rows of the inputs, or their columns when `by_column` (dates x symbols,
// the symbols of one bar side by side, which the lanes load as they lie).
// The inputs are held row after row (ArraySeries), so the first row's values
// start each whole input.
// Rows held in pieces (a frame's columns) are read where each lies.
// `numbers`, where not null, holds the numbers given one per series
// (RowBlock::numbers); `seed` is then set if seeds are given one per series.
template <class I, class Converted, std::size_t S>
[[nodiscard]] std::size_t
series_in_lanes(const Converted& converted, const Destination& destination, const Shape& shape,
                bool by_column, const std::optional<double>& seed,
                const std::array<const Pieces*, S>& pieces, const double* const* numbers) noexcept {
    const std::size_t lanes = lanes_of(lane_path());
    const std::size_t count = by_column ? shape.columns : shape.rows;
    if (shape.ndim != 2 || shape.rows < 2 || lanes < 2 || count < lanes) {
        return 0;
    }
    const double* const* starts[S] = {};
    std::size_t in_pieces = 0;
    for (std::size_t k = 0; k < S; ++k) {
        if (pieces[k] != nullptr) {
            starts[k] = pieces[k]->starts();
            ++in_pieces;
        }
    }
    // Rows in pieces beside rows held whole go one by one.
    if (in_pieces != 0 && (in_pieces != S || by_column)) {
        return 0;
    }
    RowOutput first = destination.row(0);
    const std::ptrdiff_t between_rows = destination.row(1).first() - first.first();
    const RowBlock block{.series = {},
                         .row_starts = in_pieces != 0 ? starts : nullptr,
                         .rows = count,
                         .columns = by_column ? shape.rows : shape.columns,
                         .in_row = by_column        ? 1
                                   : in_pieces != 0 ? 0
                                                    : shape.columns,
                         .in_column = by_column ? shape.columns : 1,
                         .out = first.first(),
                         .out_row = by_column ? first.stride() : between_rows,
                         .out_column = by_column ? between_rows : first.stride(),
                         .out_field = first.field_stride(),
                         .numbers = numbers};
    std::size_t done = 0;
    (void)converted.compute(
        [&](RowOutput&, auto... arguments) noexcept {
            done = I::rows(block, seed, arguments...);
            return KernelStatus::ok();
        },
        first, 0);
    return done;
}

} // namespace tarnwick::arrays
