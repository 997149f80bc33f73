// SPDX-License-Identifier: MIT
// A call with `by=` computed: the rows gathered group by group (groups.hpp),
// each run of groups of one length stepped side by side in vector lanes as
// the rows of a two-dimensional array are (lane_rows.hpp), the groups left
// over, or all of them under nan_policy "omit", one at a time through the
// walk, and the results put back at their rows.
#pragma once

#include "../binding/catalogue.hpp"
#include "../binding/float_series.hpp"
#include "../ndarray/destination.hpp"
#include "../ndarray/row_output.hpp"
#include "groups.hpp"
#include "series_walk.hpp"

#include <array>
#include <cstddef>
#include <optional>
#include <span>

namespace tarnwick::arrays {

// Room for the gathered inputs and the grouped results of `rows` bars, when
// the groups are gathered.
template <std::size_t S>
[[nodiscard]] bool room_for_groups(std::array<FloatSeries, S>& gathered, FloatSeries& results,
                                   const Groups& groups, std::size_t rows) noexcept {
    if (groups.together()) {
        return true;
    }
    bool room = results.try_resize_uninitialized(rows);
    for (FloatSeries& series : gathered) {
        room = room && series.try_resize_uninitialized(rows);
    }
    return room;
}

// Indicator `I` on each group of `groups` of the series `inputs`, into
// `destination` (one-dimensional, a value per row); `one(out, series)` runs
// the one-series kernel with the call's scalars and seed. The first refusal
// ends it; with no rows, the kernel runs once on empty series, so that the
// scalars are checked as a call on no bars checks them.
template <class I, std::size_t S, class Converted, class Kernel>
[[nodiscard]] KernelStatus run_groups(const Converted& converted, const Groups& groups,
                                      const std::array<std::span<const double>, S>& inputs,
                                      std::array<FloatSeries, S>& gathered, FloatSeries& results,
                                      SeriesWalk<S>& walk, const std::optional<double>& seed,
                                      const Destination& destination, Kernel& one) noexcept {
    using Series = typename SeriesWalk<S>::Series;
    const bool together = groups.together();
    if (!together) {
        for (std::size_t s = 0; s < S; ++s) {
            groups.gather(inputs[s], gathered[s].data());
        }
    }
    const auto bars = [&](std::size_t from, std::size_t length) {
        Series series{};
        for (std::size_t s = 0; s < S; ++s) {
            series[s] = (together ? inputs[s] : gathered[s].view()).subspan(from, length);
        }
        return series;
    };
    const RowOutput row = destination.row(0);
    const auto into = [&](std::size_t from) {
        return together ? RowOutput(row.first() + static_cast<std::ptrdiff_t>(from) * row.stride(),
                                    row.stride())
                        : RowOutput(reinterpret_cast<char*>(results.data() + from), sizeof(double));
    };
    const std::ptrdiff_t step = together ? row.stride() : std::ptrdiff_t{sizeof(double)};
    if (groups.count() == 0) {
        RowOutput out = into(0);
        return walk.step(out, Series{}, one);
    }
    const std::size_t lanes = walk.lanes_take_all_bars() ? lanes_of(lane_path()) : 1;
    for (std::size_t g = 0; g < groups.count();) {
        const std::size_t length = groups.length(g);
        std::size_t end = g + 1;
        while (end < groups.count() && groups.length(end) == length) {
            ++end;
        }
        std::size_t done = 0;
        if (lanes >= 2 && end - g >= lanes) {
            const std::size_t first = groups.start(g);
            const RowBlock block{.series = {},
                                 .rows = end - g,
                                 .columns = length,
                                 .in_row = length,
                                 .in_column = 1,
                                 .out = into(first).first(),
                                 .out_row = static_cast<std::ptrdiff_t>(length) * step,
                                 .out_column = step};
            RowOutput unused = into(first);
            (void)converted.compute_with(
                [&](RowOutput&, auto... arguments) noexcept {
                    done = I::rows(block, seed, arguments...);
                    return KernelStatus::ok();
                },
                unused, bars(first, length));
        }
        for (std::size_t k = g + done; k < end; ++k) {
            RowOutput out = into(groups.start(k));
            if (const KernelStatus status = walk.step(out, bars(groups.start(k), length), one);
                status.failed()) {
                return status;
            }
        }
        g = end;
    }
    if (!together) {
        groups.scatter(results.data(), row);
    }
    return KernelStatus::ok();
}

} // namespace tarnwick::arrays
