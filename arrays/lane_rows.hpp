// SPDX-License-Identifier: MIT
// The series of a two-dimensional array call that run side by side in
// vector lanes (indicators/rows.hpp), before the one-by-one walk takes the rest.
#pragma once

#include "../binding/catalogue.hpp"
#include "../ndarray/array_series.hpp"
#include "../ndarray/destination.hpp"
#include "../ndarray/row_output.hpp"

#include <cstddef>
#include <optional>

namespace tarnwick::arrays {

// How many series from the first indicator `I` computed into `destination`:
// none unless there are series enough for the lanes. The series are the
// rows of the inputs, or their columns when `by_column` (dates x symbols,
// the symbols of one bar side by side, which the lanes load as they lie).
// The inputs are held row after row (ArraySeries), so the first row's values
// start each whole input.
template <class I, class Converted>
[[nodiscard]] std::size_t
series_in_lanes(const Converted& converted, const Destination& destination, const Shape& shape,
                bool by_column, const std::optional<double>& seed) noexcept {
    const std::size_t lanes = lanes_of(lane_path());
    const std::size_t count = by_column ? shape.columns : shape.rows;
    if (shape.ndim != 2 || shape.rows < 2 || lanes < 2 || count < lanes) {
        return 0;
    }
    // An indicator of several values per bar takes the lanes only side by
    // side: one series per row, laying each value's tile back out row by row
    // cost more than the lanes gain (directional_movement on 200 x 2,520:
    // 12.7 ns a bar and series in AVX-512 lanes, 7.0 row by row).
    if (!by_column && destination.row(0).field_stride() != 0) {
        return 0;
    }
    RowOutput first = destination.row(0);
    const std::ptrdiff_t between_rows = destination.row(1).first() - first.first();
    const RowBlock block{.series = {},
                         .rows = count,
                         .columns = by_column ? shape.rows : shape.columns,
                         .in_row = by_column ? 1 : shape.columns,
                         .in_column = by_column ? shape.columns : 1,
                         .out = first.first(),
                         .out_row = by_column ? first.stride() : between_rows,
                         .out_column = by_column ? between_rows : first.stride(),
                         .out_field = first.field_stride()};
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
