// SPDX-License-Identifier: MIT
// The rows of a two-dimensional array call that run side by side in vector
// lanes (indicators/rows.hpp), before the row-by-row loop takes the rest.
#pragma once

#include "../binding/catalogue.hpp"
#include "array_series.hpp"
#include "destination.hpp"
#include "row_output.hpp"

#include <cstddef>
#include <optional>

namespace tarnwick::arrays {

// How many rows from the first indicator `I` computed into `destination`:
// none unless there are rows enough for the lanes and the kernel takes the
// scalars. The series are held row after row (ArraySeries), so the first
// row's values start each whole series.
template <class I, class Converted>
[[nodiscard]] std::size_t rows_in_lanes(const Converted& converted, const Destination& destination,
                                        const Shape& shape,
                                        const std::optional<double>& seed) noexcept {
    const std::size_t lanes = lanes_of(lane_path());
    if (shape.ndim != 2 || lanes < 2 || shape.rows < lanes) {
        return 0;
    }
    RowOutput first = destination.row(0);
    const RowBlock block{{},
                         shape.rows,
                         shape.columns,
                         first.first(),
                         destination.row(1).first() - first.first(),
                         first.stride()};
    std::size_t done = 0;
    (void)converted.compute(
        [&](RowOutput&, auto... arguments) noexcept {
            done = I::rows(block, seed ? &*seed : nullptr, arguments...);
            return KernelStatus::ok();
        },
        first, 0);
    return done;
}

} // namespace tarnwick::arrays
