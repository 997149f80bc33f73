// SPDX-License-Identifier: MIT
// Groups: the rows of a long table (one row per symbol and date) as one
// series per key, the rows of each key in the order they come. When each
// key's rows lie together (a table sorted by symbol) the groups are read and
// written in place, in the order they come. Otherwise the rows are gathered
// group after group into one buffer, shortest groups first, so that groups
// of one length lie side by side as the rows of a two-dimensional array do
// and step in vector lanes together; the results are put back at their rows.
// That scratch memory is kept from call to call (Scratch).
#pragma once

#include "../ndarray/row_output.hpp"

#include <array>
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

// Scratch memory for a call's groups. A table gathered call after call
// (every call on shuffled rows) would otherwise take fresh pages each time,
// and the system's faulting and zeroing them costs as much as the gathering;
// so one block of each kind is kept between calls, up to `kept_at_most`
// bytes, and taken by the next call that it is large enough for. Threads
// that call at once each take their own: a block is held by one call only.
class Scratch {
  public:
    enum Kind : std::size_t { places, values, kinds };
    static constexpr std::size_t kept_at_most = std::size_t{64} << 20;

    Scratch() noexcept = default;
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch() { give_back(); }

    // Room for `bytes`, the kept block when it is large enough; false, with
    // nothing held, when the memory cannot be had.
    [[nodiscard]] bool reserve(Kind kind, std::size_t bytes) noexcept;
    // Frees the blocks kept between calls; the module does it as it goes,
    // so that a process that unloads it holds no memory for it.
    static void release_kept() noexcept;
    template <class T> [[nodiscard]] T* as() const noexcept {
        return reinterpret_cast<T*>(block_ == nullptr ? nullptr : block_ + header);
    }

  private:
    // A block starts with its size; the room follows, cache-line aligned.
    static constexpr std::size_t header = 64;
    void give_back() noexcept;
    Kind kind_ = places;
    unsigned char* block_ = nullptr;
};

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
    // The same for S series, series s to into + s * rows. One series at a
    // time: the rows of a shuffled table go to all the groups at once, and a
    // cache line open in each group's run for one series fits the cache
    // where one for every series would not.
    template <std::size_t S>
    void gather(const std::array<std::span<const double>, S>& values, double* into) const noexcept {
        for (std::size_t s = 0; s < S; ++s) {
            gather(values[s], into + s * rows_);
        }
    }
    // The inverse: grouped[its place] to row `row` of `out`; of `fields`
    // values a row, the values of a place side by side, value f to field f.
    void scatter(const double* grouped, RowOutput out, std::size_t fields = 1) const noexcept;
    // How many groups of `grouped` (gathered values) hold a NaN.
    [[nodiscard]] std::size_t holding_nan(const double* grouped) const noexcept;

  private:
    // `f` on the rows' places: 32 bits each where the rows allow it, as a
    // shuffled table's grouping is bound by the memory it moves, and its
    // places are read once a series and once more to put the results back.
    template <class F> void with_places(F&& f) const {
        if (rows_ <= UINT32_MAX) {
            f(place_.as<std::uint32_t>());
        } else {
            f(place_.as<std::size_t>());
        }
    }

    std::size_t rows_ = 0;
    std::size_t count_ = 0;
    bool together_ = true;
    std::size_t longest_ = 0;
    Scratch place_; // per row
    Counts start_;  // per group, and the end
};

} // namespace tarnwick::arrays
