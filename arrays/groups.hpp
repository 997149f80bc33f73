// SPDX-License-Identifier: MIT
// Groups: the rows of a long table (one row per symbol and date) as one
// series per key, the rows of each key in the order they come. When each
// key's rows lie together (a table sorted by symbol) the groups are read and
// written in place, in the order they come. Otherwise the rows are gathered
// group after group into one buffer, shortest groups first, so that groups
// of one length lie side by side as the rows of a two-dimensional array do
// and step in vector lanes together; the results are put back at their rows.
#pragma once

#include "../ndarray/row_output.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>

namespace tarnwick::arrays {

// Counts in C malloc storage: the module links no C++ runtime.
struct FreeCounts {
    void operator()(std::size_t* counts) const noexcept { std::free(counts); }
};
using Counts = std::unique_ptr<std::size_t[], FreeCounts>;

class Groups {
  public:
    // Groups the rows by `codes`, one integer per row from a range about as
    // wide as there are rows (tarnwick_frames._groups gives such codes).
    // False, with nothing grouped, when the memory cannot be had.
    [[nodiscard]] bool make(std::span<const std::int64_t> codes) noexcept;

    // Whether each group's rows lie together, group g from row start(g) on.
    [[nodiscard]] bool together() const noexcept { return together_; }
    // The groups that have rows: in the order they come when together(),
    // else shortest first (equal lengths by code) as gathered.
    [[nodiscard]] std::size_t count() const noexcept { return count_; }
    [[nodiscard]] std::size_t start(std::size_t g) const noexcept { return start_[g]; }
    [[nodiscard]] std::size_t length(std::size_t g) const noexcept {
        return start_[g + 1] - start_[g];
    }
    [[nodiscard]] std::size_t longest() const noexcept { return longest_; }

    // Unless together(): values[row] into into[its place among its group's
    // rows], every row.
    void gather(std::span<const double> values, double* into) const noexcept;
    // The inverse: grouped[its place] to row `row` of `out`.
    void scatter(const double* grouped, RowOutput out) const noexcept;
    // How many groups of `grouped` (gathered values) hold a NaN.
    [[nodiscard]] std::size_t holding_nan(const double* grouped) const noexcept;

  private:
    std::size_t rows_ = 0;
    std::size_t count_ = 0;
    bool together_ = true;
    std::size_t longest_ = 0;
    Counts place_; // per row
    Counts start_; // per group, and the end
};

} // namespace tarnwick::arrays
