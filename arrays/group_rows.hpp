// SPDX-License-Identifier: MIT
// A call with `by=` computed: the rows gathered group by group (groups.hpp),
// each run of groups of one length stepped side by side in vector lanes as
// the rows of a two-dimensional array are (lane_rows.hpp), the groups left
// over, or all of them under nan_policy "omit", one at a time through the
// walk, and the results put back at their rows.
#pragma once

#include "../binding/catalogue.hpp"
#include "../ndarray/destination.hpp"
#include "../ndarray/row_output.hpp"
#include "groups.hpp"
#include "lane_rows.hpp"
#include "series_walk.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace tarnwick::arrays {

// Room for the gathered inputs and the grouped results of `rows` bars, S
// series and `fields` values a bar of results one after the other, when the
// groups are gathered.
template <std::size_t S>
[[nodiscard]] bool room_for_groups(Scratch& gathered, const Groups& groups, std::size_t rows,
                                   std::size_t fields) noexcept {
    const std::size_t series = S + fields;
    return groups.together() || (rows <= SIZE_MAX / sizeof(double) / series &&
                                 gathered.reserve(Scratch::values, rows * series * sizeof(double)));
}

// Indicator `I` on each group of `groups` of the series `inputs`, into
// `destination` (one-dimensional, a value per row, or a stack of F such
// rows for F values a bar); `one(out, series)` runs
// the one-series kernel with the call's scalars and seed. The first refusal
// ends it; with no rows, the kernel runs once on empty series, so that the
// scalars are checked as a call on no bars checks them.
template <class I, std::size_t S, std::size_t F, class Converted, class Kernel>
[[nodiscard]] KernelStatus run_groups(const Converted& converted, const Groups& groups,
                                      const std::array<std::span<const double>, S>& inputs,
                                      const Scratch& gathered, SeriesWalk<S, F>& walk,
                                      const std::optional<double>& seed,
                                      const Destination& destination, Kernel& one) noexcept {
    using Series = typename SeriesWalk<S, F>::Series;
    const bool together = groups.together();
    const std::size_t rows = inputs[0].size();
    double* const grouped = together ? nullptr : gathered.as<double>();
    double* const results = together ? nullptr : grouped + S * rows;
    if (!together) {
        groups.gather(inputs, grouped);
    }
    const auto bars = [&](std::size_t from, std::size_t length) {
        Series series{};
        for (std::size_t s = 0; s < S; ++s) {
            series[s] = together ? inputs[s].subspan(from, length)
                                 : std::span<const double>(grouped + s * rows + from, length);
        }
        return series;
    };
    // Gathered, the values of a bar lie side by side, so that putting a row
    // back reads one place of the results for all of them.
    const RowOutput row = destination.row(0);
    const std::ptrdiff_t step =
        together ? row.stride() : static_cast<std::ptrdiff_t>(F * sizeof(double));
    const std::ptrdiff_t field_step =
        together ? row.field_stride() : static_cast<std::ptrdiff_t>(F > 1 ? sizeof(double) : 0);
    const auto into = [&](std::size_t from) {
        char* first = together ? row.first() : reinterpret_cast<char*>(results);
        return RowOutput(first + static_cast<std::ptrdiff_t>(from) * step, step, field_step);
    };
    if (groups.count() == 0) {
        RowOutput out = into(0);
        return walk.step(out, Series{}, one);
    }
    const std::size_t lanes =
        walk.lanes_take_all_bars() && rows_take_lanes<I>(seed, false) ? lanes_of(lane_path()) : 1;
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
                                 .out_column = step,
                                 .out_field = into(first).field_stride()};
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
        groups.scatter(results, row, F);
    }
    return KernelStatus::ok();
}

} // namespace tarnwick::arrays
