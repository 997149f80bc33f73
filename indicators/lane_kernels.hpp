// SPDX-License-Identifier: MIT
// Any kernel of the catalogue stepped over W rows at once in a lane set `L`
// (lane_ops.hpp). Every lane does the one-series kernel's operations in its
// order, so each row gets the bits it gets alone.
//
// Included only by the rows_*.cpp translation units, each built for its own
// instruction set with its own TARNWICK_TARGET, so each instantiates these
// templates, the kernels and the catalogue in a namespace of its own.
#pragma once

#include "catalogue.hpp"
#include "rows.hpp"

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <utility>

namespace tarnwick::TARNWICK_TARGET {

// Bars are stepped a chunk at a time: the rows of a block are laid out bar by
// bar (the lanes of one bar side by side) in a tile of 8 KiB per series,
// which stays in the first-level cache, stepped, and the results laid back
// out row by row.
template <class L> inline constexpr std::size_t chunk = 1024 / L::width;

// Bars first .. first + count - 1 of rows row .. row + W - 1 of series k,
// bar by bar, into `tile`. Rows in place: W bars of W rows at a time as a
// transposed square of lanes (L::transpose moves bits, it computes nothing),
// the rest one by one. Rows side by side: the W rows of one bar are one load.
template <class L>
void gather(const RowBlock& b, std::size_t k, std::size_t row, std::size_t first, std::size_t count,
            double* tile) noexcept {
    constexpr std::size_t width = L::width;
    if (b.in_row == 1) {
        const double* from = b.series[k] + row + first * b.in_column;
        for (std::size_t i = 0; i < count; ++i) {
            L::store(tile + i * width, L::load(from + i * b.in_column));
        }
        return;
    }
    const double* from[width];
    for (std::size_t lane = 0; lane < width; ++lane) {
        from[lane] = (b.row_starts != nullptr ? b.row_starts[k][row + lane]
                                              : b.series[k] + (row + lane) * b.in_row) +
                     first * b.in_column;
    }
    std::size_t i = 0;
    if (b.in_column == 1) {
        for (; i + width <= count; i += width) {
            typename L::V square[width];
            for (std::size_t lane = 0; lane < width; ++lane) {
                square[lane] = L::load(from[lane] + i);
            }
            L::transpose(square);
            for (std::size_t j = 0; j < width; ++j) {
                L::store(tile + (i + j) * width, square[j]);
            }
        }
    }
    for (; i < count; ++i) {
        for (std::size_t lane = 0; lane < width; ++lane) {
            tile[i * width + lane] = from[lane][i * b.in_column];
        }
    }
}

// The results of those bars from `tile` into their rows of the output, the
// same ways when the output's values are adjacent along a row or across rows.
template <class L>
void scatter(const RowBlock& b, std::size_t row, std::size_t first, std::size_t count,
             const double* tile) noexcept {
    constexpr std::size_t width = L::width;
    constexpr auto adjacent = static_cast<std::ptrdiff_t>(sizeof(double));
    char* to[width];
    for (std::size_t lane = 0; lane < width; ++lane) {
        to[lane] = b.out + static_cast<std::ptrdiff_t>(row + lane) * b.out_row +
                   static_cast<std::ptrdiff_t>(first) * b.out_column;
    }
    std::size_t i = 0;
    if (b.out_row == adjacent) {
        for (; i < count; ++i) {
            std::memcpy(to[0] + static_cast<std::ptrdiff_t>(i) * b.out_column, tile + i * width,
                        width * sizeof(double));
        }
    } else if (b.out_column == adjacent) {
        for (; i + width <= count; i += width) {
            typename L::V square[width];
            for (std::size_t j = 0; j < width; ++j) {
                square[j] = L::load(tile + (i + j) * width);
            }
            L::transpose(square);
            for (std::size_t lane = 0; lane < width; ++lane) {
                double values[width];
                L::store(values, square[lane]);
                std::memcpy(to[lane] + i * sizeof(double), values, sizeof values);
            }
        }
    }
    for (; i < count; ++i) {
        for (std::size_t lane = 0; lane < width; ++lane) {
            std::memcpy(to[lane] + static_cast<std::ptrdiff_t>(i) * b.out_column,
                        &tile[i * width + lane], sizeof(double));
        }
    }
}

// How many values a kernel's step gives per bar (series_output.hpp).
template <class Kernel>
inline constexpr std::size_t outputs_of = fields_in<decltype(std::declval<const Kernel&>().step(
    std::declval<typename Kernel::State&>(), nullptr))>;

// Value f of a step's values.
template <class Value>
TARNWICK_LANE_INLINE const auto& field_of(const Value& value, std::size_t f) noexcept {
    if constexpr (fields_in<Value> == 1) {
        (void)f;
        return value;
    } else {
        return value.value[f];
    }
}

// Stores a step's values: value f at to[f] + at.
template <class L, class Value>
TARNWICK_LANE_INLINE void store_values(double* const* to, std::size_t at,
                                       const Value& value) noexcept {
    for (std::size_t f = 0; f < fields_in<Value>; ++f) {
        L::store(to[f] + at, field_of(value, f));
    }
}

// One chunk of a block's bars from the tiles (in[k] series k's) into the
// tiles of results, one per value of a bar.
template <class L, class Kernel>
TARNWICK_LANE_INLINE void run_chunk(const Kernel& kernel, typename Kernel::State& state,
                                    const double* const* in, double (*out)[chunk<L> * L::width],
                                    std::size_t first, std::size_t count) noexcept {
    constexpr std::size_t width = L::width;
    // Local copies, which stores into the tile cannot alias, so that the
    // state and the settings stay in registers.
    const Kernel copy = kernel;
    typename Kernel::State s = state;
    typename L::V bar[Kernel::inputs];
    double* to[outputs_of<Kernel>];
    for (std::size_t f = 0; f < outputs_of<Kernel>; ++f) {
        to[f] = out[f];
    }
    std::size_t i = 0;
    if (first == 0 && count > 0) {
        for (std::size_t k = 0; k < Kernel::inputs; ++k) {
            bar[k] = L::load(in[k]);
        }
        store_values<L>(to, 0, copy.first(s, bar));
        i = 1;
    }
    for (; i < count; ++i) {
        for (std::size_t k = 0; k < Kernel::inputs; ++k) {
            bar[k] = L::load(in[k] + i * width);
        }
        store_values<L>(to, i * width, copy.step(s, bar));
    }
    state = s;
}

// A kernel that reads its series before its first bar (GARCH's seed): a
// value `ahead()` that `look` carries over every bar, from which `begin`
// starts the state, when `looks_ahead()`.
template <class Kernel>
concept LooksAhead =
    requires(const Kernel& k, typename Kernel::State& s) { k.begin(s, k.ahead(), std::size_t{}); };

// How much of a block's series the look ahead keeps gathered for the steps,
// in bytes: the steps then read those bars from the tiles as laid out, not
// gathered from their rows a second time. Within the second-level cache's
// share (2,520 bars of 16 rows: 315 KiB); the bars of longer rows beyond it
// are gathered again.
inline constexpr std::size_t kept_bytes = 512 * 1024;

// A kernel whose numbers may be each row's own (for_rows): GARCH's weights
// and seed from a panel's fit.
template <class Kernel>
concept NumbersPerRow = requires(const Kernel& k, const double* const* numbers) {
    { k.for_rows(numbers, std::size_t{}) } -> std::same_as<Kernel>;
};

// `kernel` with the numbers of rows `row` onwards, one per lane, when
// `PerRow` (the block gives them one per row); otherwise `kernel` itself, not
// a copy, which the steps would make again at each bar.
template <bool PerRow, class Kernel>
TARNWICK_LANE_INLINE decltype(auto) numbers_of_rows(const Kernel& kernel, const RowBlock& b,
                                                    std::size_t row) noexcept {
    if constexpr (PerRow) {
        return Kernel(kernel.for_rows(b.numbers, row));
    } else {
        (void)b;
        (void)row;
        return (kernel);
    }
}

// C malloc storage: the modules link no C++ runtime.
struct FreeKept {
    void operator()(double* values) const noexcept { std::free(values); }
};

// Runs `kernel` over every block of W rows: each chunk of their bars gathered
// into tiles, stepped, and scattered. A kernel that looks ahead has each
// chunk gathered for its look, and kept there for its steps while they fit.
template <class L, class Kernel>
std::size_t run_rows(const RowBlock& b, const Kernel& kernel) noexcept {
    constexpr std::size_t width = L::width;
    constexpr std::size_t inputs = Kernel::inputs;
    constexpr std::size_t bars = chunk<L>;
    alignas(64) double in[inputs][bars * width];
    alignas(64) double out[outputs_of<Kernel>][bars * width];
    std::unique_ptr<double, FreeKept> kept;
    std::size_t kept_bars = 0; // whole chunks, or every bar
    if constexpr (LooksAhead<Kernel>) {
        if (kernel.looks_ahead()) {
            kept_bars = kept_bytes / sizeof(double) / width / inputs / bars * bars;
            kept_bars = b.columns < kept_bars ? b.columns : kept_bars;
            kept.reset(
                static_cast<double*>(std::malloc(inputs * kept_bars * width * sizeof(double))));
            kept_bars = kept != nullptr ? kept_bars : 0;
        }
    }
    const auto count_at = [&](std::size_t first) {
        return b.columns - first < bars ? b.columns - first : bars;
    };
    // Where series k's tile of the chunk at `first` lies.
    const auto tile = [&](std::size_t k, std::size_t first) {
        return first < kept_bars ? kept.get() + (k * kept_bars + first) * width : in[k];
    };
    for (std::size_t row = 0; row + width <= b.rows; row += width) {
        typename Kernel::State state{};
        if constexpr (LooksAhead<Kernel>) {
            auto ahead = kernel.ahead();
            if (kernel.looks_ahead()) {
                for (std::size_t first = 0; first < b.columns; first += bars) {
                    const std::size_t count = count_at(first);
                    const double* tiles[inputs];
                    for (std::size_t k = 0; k < inputs; ++k) {
                        gather<L>(b, k, row, first, count, tile(k, first));
                        tiles[k] = tile(k, first);
                    }
                    typename L::V bar[inputs];
                    for (std::size_t i = 0; i < count; ++i) {
                        for (std::size_t k = 0; k < inputs; ++k) {
                            bar[k] = L::load(tiles[k] + i * width);
                        }
                        kernel.look(ahead, bar);
                    }
                }
            }
            kernel.begin(state, ahead, b.columns);
        }
        for (std::size_t first = 0; first < b.columns; first += bars) {
            const std::size_t count = count_at(first);
            const double* tiles[inputs];
            for (std::size_t k = 0; k < inputs; ++k) {
                double* to = tile(k, first);
                if (to == in[k]) { // not kept from the look ahead
                    gather<L>(b, k, row, first, count, to);
                }
                tiles[k] = to;
            }
            run_chunk<L>(kernel, state, tiles, out, first, count);
            for (std::size_t f = 0; f < outputs_of<Kernel>; ++f) {
                RowBlock field = b;
                field.out += static_cast<std::ptrdiff_t>(f) * b.out_field;
                scatter<L>(field, row, first, count, out[f]);
            }
        }
    }
    return b.rows - b.rows % width;
}

// Series side by side (in_row 1: the rows of one bar adjacent): a batch of
// 512 series at a time, bar by bar across the batch, so that each bar's
// values are read as one run of memory (4 KiB per input) and written as one,
// the way they lie, while the batch's states (some 45 KiB on any path) stay
// in the near caches. Stepping one lane set through all its bars instead
// would touch a new page at every bar; batches of 64 or 128 series measured
// slower for want of longer runs.
template <class L> inline constexpr std::size_t side_by_side_batch = 512 / L::width;

// `PerRow`: each lane set's numbers loaded at each of its steps.
template <class L, bool PerRow, class Kernel>
std::size_t side_by_side(const RowBlock& b, const Kernel& settings) noexcept {
    // A local copy, which stores into the output cannot alias, so that the
    // settings stay in registers.
    const Kernel kernel = settings;
    using V = typename L::V;
    constexpr std::size_t width = L::width;
    constexpr std::size_t inputs = Kernel::inputs;
    constexpr std::size_t batch_size = side_by_side_batch<L>;
    constexpr std::size_t outputs = outputs_of<Kernel>;
    constexpr auto adjacent = static_cast<std::ptrdiff_t>(sizeof(double));
    const std::size_t sets = b.rows / width;
    // Each value's lanes straight from the register to its place when the
    // lanes lie adjacent and aligned as doubles, not through a buffer: of
    // several values a bar, the copies cost more than the stores.
    const bool in_place =
        b.out_row == adjacent && (reinterpret_cast<std::uintptr_t>(b.out) |
                                  static_cast<std::uintptr_t>(b.out_column | b.out_field)) %
                                         alignof(double) ==
                                     0;
    for (std::size_t set = 0; set < sets; set += batch_size) {
        typename Kernel::State batch[batch_size]{};
        const std::size_t in_batch = sets - set < batch_size ? sets - set : batch_size;
        const std::size_t row = set * width;
        const auto load_bar = [&](std::size_t i, std::size_t q, V* bar) {
            for (std::size_t k = 0; k < inputs; ++k) {
                bar[k] = L::load(b.series[k] + row + q * width + i * b.in_column);
            }
        };
        // Bar by bar across the batch, as the bars are stepped below.
        if constexpr (LooksAhead<Kernel>) {
            decltype(kernel.ahead()) ahead[batch_size];
            for (std::size_t q = 0; q < in_batch; ++q) {
                ahead[q] = kernel.ahead();
            }
            for (std::size_t i = 0; kernel.looks_ahead() && i < b.columns; ++i) {
                for (std::size_t q = 0; q < in_batch; ++q) {
                    V bar[inputs];
                    load_bar(i, q, bar);
                    kernel.look(ahead[q], bar);
                }
            }
            for (std::size_t q = 0; q < in_batch; ++q) {
                numbers_of_rows<PerRow>(kernel, b, row + q * width)
                    .begin(batch[q], ahead[q], b.columns);
            }
        }
        for (std::size_t i = 0; i < b.columns; ++i) {
            char* to = b.out + static_cast<std::ptrdiff_t>(row) * b.out_row +
                       static_cast<std::ptrdiff_t>(i) * b.out_column;
            for (std::size_t q = 0; q < in_batch; ++q) {
                V bar[inputs];
                load_bar(i, q, bar);
                decltype(auto) own = numbers_of_rows<PerRow>(kernel, b, row + q * width);
                const auto value = i == 0 ? own.first(batch[q], bar) : own.step(batch[q], bar);
                double* into[outputs];
                if (in_place) {
                    for (std::size_t f = 0; f < outputs; ++f) {
                        into[f] = reinterpret_cast<double*>(
                            to + static_cast<std::ptrdiff_t>(q * width) * b.out_row +
                            static_cast<std::ptrdiff_t>(f) * b.out_field);
                    }
                    store_values<L>(into, 0, value);
                    continue;
                }
                double values[outputs][width];
                for (std::size_t f = 0; f < outputs; ++f) {
                    into[f] = values[f];
                }
                store_values<L>(into, 0, value);
                for (std::size_t f = 0; f < outputs; ++f) {
                    char* lanes = to + static_cast<std::ptrdiff_t>(q * width) * b.out_row +
                                  static_cast<std::ptrdiff_t>(f) * b.out_field;
                    if (b.out_row == adjacent) {
                        std::memcpy(lanes, values[f], sizeof values[f]);
                    } else {
                        for (std::size_t lane = 0; lane < width; ++lane) {
                            std::memcpy(lanes + static_cast<std::ptrdiff_t>(lane) * b.out_row,
                                        &values[f][lane], sizeof(double));
                        }
                    }
                }
            }
        }
    }
    return sets * width;
}

// The loop without a load of numbers at each step unless rows have their own.
template <class L, class Kernel>
std::size_t run_side_by_side(const RowBlock& b, const Kernel& kernel) noexcept {
    if constexpr (NumbersPerRow<Kernel>) {
        if (b.numbers != nullptr) {
            return side_by_side<L, true>(b, kernel);
        }
    }
    return side_by_side<L, false>(b, kernel);
}

// Runs entry `E`'s kernel over every block of rows: side by side, in batches
// bar by bar; otherwise in groups of G lane sets while there are rows for
// them, then in single lane sets. Returns how many rows it did: all, or none
// for an indicator of several values per bar whose rows lie apart (one series
// per row, the groups of a long table): laying each value's tile back out row
// by row costs more than the lanes gain, and the one-series pass writes each
// row's values as they lie (directional_movement by= over 500 sorted groups
// of 2,520 bars: 15.2 ms in AVX-512 lanes, 12.6 ms one group at a time).
template <class L, std::size_t G, class E>
std::size_t rows_of_entry(const RowBlock& b, const void* settings) noexcept {
    const auto& p = *static_cast<const typename E::Settings*>(settings);
    if (b.in_row == 1 && b.rows > 1) {
        return run_side_by_side<L>(b, typename E::template Kernel<L>(p));
    }
    // Rows given numbers of their own go one at a time too: with no seeds
    // to sum for many rows at once, the transposes cost more than the lanes
    // save (arrays/lane_rows.hpp never gives them).
    if constexpr (outputs_of<typename E::template Kernel<L>> > 1) {
        return 0;
    } else if (b.numbers != nullptr) {
        return 0;
    } else {
        const std::size_t done =
            run_rows<Group<L, G>>(b, typename E::template Kernel<Group<L, G>>(p));
        const double* series[series_count<E>];
        const double* const* starts[series_count<E>];
        for (std::size_t k = 0; k < series_count<E>; ++k) {
            series[k] = b.series[k] + done * b.in_row;
            starts[k] = b.row_starts != nullptr ? b.row_starts[k] + done : nullptr;
        }
        RowBlock rest = b;
        rest.series = series;
        rest.row_starts = b.row_starts != nullptr ? starts : nullptr;
        rest.rows -= done;
        rest.out += static_cast<std::ptrdiff_t>(done) * b.out_row;
        return done + run_rows<L>(rest, typename E::template Kernel<L>(p));
    }
}

// The entries of one lane set, one per indicator of the catalogue in its
// order, G lane sets at a time (as many as the registers hold).
template <class L, std::size_t G, class... E>
inline constexpr RowsEntry rows_entries[] = {&rows_of_entry<L, G, E>...};
template <class L, std::size_t G, class... E>
constexpr LaneKernels lane_kernels_of(IndicatorList<E...>) noexcept {
    return {L::width, rows_entries<L, G, E...>};
}

} // namespace tarnwick::TARNWICK_TARGET
