// SPDX-License-Identifier: MIT
// Many series of one length at once, one series per row: the one-series
// kernels stepped over several rows side by side in vector lanes. Each lane
// does the one-series kernel's IEEE operations in its order (branches become
// per-lane selects of the same values), so every row has the bits it has on
// its own.
//
// The lanes are the widest this processor has (AVX-512 or AVX2 on x86-64),
// chosen once; two lanes (SSE2 on x86, NEON on aarch64) are slower than the
// one-series kernels and run only when asked for. The environment variable
// TARNWICK_LANES (scalar, sse2 or neon, avx2, avx512) asks for any path up
// to the widest, so that every path a machine has can be checked on it. Rows left
// over from whole blocks of lanes are the caller's to run through the
// one-series kernel, which it has already.
#pragma once

#include <cstddef>

namespace tarnwick {

enum class LanePath : unsigned char { scalar, sse2, avx2, avx512, neon };

// A block of `rows` series of `columns` bars each: bar i of row r of series
// k (one per series parameter of the indicator) is at series[k] + r * in_row
// + i * in_column (distances in doubles). One
// series per row of a C-contiguous array has in_row = columns and in_column
// = 1; symbols side by side (dates x symbols, a wide frame) have in_row = 1
// and in_column = the number of symbols. The results go to row r of `out`:
// value i of it at out + r * out_row + i * out_column (strides in bytes, any
// alignment). An indicator of several values per bar writes value f of each
// bar `out_field` bytes after its first value's place. Rows that each lie in
// memory of their own (a frame's columns) are given by `row_starts` instead:
// row r of series k starts at row_starts[k][r], in_row unused. Numbers given
// one per row (a panel's fitted GARCH weights and seeds) are in `numbers`:
// number j of row r at numbers[j][r], j counting the indicator's scalar
// parameters in order and then its seed, where numbers[j] is not null (the
// settings' one value for every row otherwise); `numbers` is null when no
// number is given one per row. Only series side by side take numbers of
// their own in lanes: rows given them are left to the one-series kernel
// (none done).
struct RowBlock {
    const double* const* series;
    const double* const* const* row_starts = nullptr;
    std::size_t rows;
    std::size_t columns;
    std::size_t in_row;
    std::size_t in_column;
    char* out;
    std::ptrdiff_t out_row;
    std::ptrdiff_t out_column;
    std::ptrdiff_t out_field = 0;
    const double* const* numbers = nullptr;
};

// The path this process uses, and how many rows it steps at once (1 for
// scalar: there is nothing to gain over the row-by-row loop).
[[nodiscard]] LanePath lane_path() noexcept;
[[nodiscard]] std::size_t lanes_of(LanePath path) noexcept;
// The path's name, as TARNWICK_LANES names it.
[[nodiscard]] const char* name_of(LanePath path) noexcept;

// The results of the first rows of `block` for the indicator at `entry` in
// the catalogue, as its one-series kernel gives them, from its `settings`
// (already validated). Returns how many rows were done: whole blocks of
// lanes, none on the scalar path, nor for an indicator of several values per
// bar whose rows lie apart (see rows_of_entry).
[[nodiscard]] std::size_t compute_rows(const RowBlock& block, std::size_t entry,
                                       const void* settings) noexcept;

// One indicator's rows on one path: `block.rows` is a multiple of the lanes,
// `settings` its Settings. Returns how many rows it did: all, or none.
using RowsEntry = std::size_t (*)(const RowBlock& block, const void* settings) noexcept;

// The per-path entries, each path's made from the catalogue in a translation
// unit of its own built for that instruction set: one per indicator, in the
// catalogue's order.
struct LaneKernels {
    std::size_t lanes;
    const RowsEntry* entries;
};

// The entries of `path`, or null when this build or this processor has no
// such path (or it is the scalar one): for checks and benchmarks of each
// path whatever TARNWICK_LANES says.
[[nodiscard]] const LaneKernels* lane_kernels(LanePath path) noexcept;

} // namespace tarnwick
