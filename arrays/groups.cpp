// SPDX-License-Identifier: MIT
#include "groups.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <utility>

namespace tarnwick::arrays {

namespace {

Counts try_allocate(std::size_t n) noexcept {
    return Counts(n <= SIZE_MAX / sizeof(std::size_t) ? static_cast<std::size_t*>(std::malloc(
                                                            (n == 0 ? 1 : n) * sizeof(std::size_t)))
                                                      : nullptr);
}

} // namespace

bool Groups::make(std::span<const std::int64_t> codes) noexcept {
    rows_ = codes.size();
    count_ = 0;
    together_ = true;
    longest_ = 0;
    place_.reset();
    if (rows_ == 0) {
        start_ = try_allocate(1);
        return start_ != nullptr && (start_[0] = 0, true);
    }
    const auto [low, high] = std::ranges::minmax(codes);
    const auto width = static_cast<std::size_t>(static_cast<std::uint64_t>(high) -
                                                static_cast<std::uint64_t>(low)) +
                       1;
    // Codes from a wider range than tarnwick_frames._groups gives are not
    // grouped: their tallies would not fit.
    if (width == 0 || width / 4 > rows_ + 64) {
        return false;
    }
    // Rows per code, then where each code's rows start.
    Counts next = try_allocate(width);
    Counts order = try_allocate(width);
    if (!next || !order) {
        return false;
    }
    std::fill_n(next.get(), width, std::size_t{0});
    std::size_t runs = 1;
    for (std::size_t r = 0; r < rows_; ++r) {
        ++next[static_cast<std::size_t>(codes[r] - low)];
        runs += r > 0 && codes[r] != codes[r - 1] ? 1U : 0U;
    }
    for (std::size_t k = 0; k < width; ++k) {
        if (next[k] != 0) {
            order[count_++] = k;
            longest_ = std::max(longest_, next[k]);
        }
    }
    start_ = try_allocate(count_ + 1);
    if (!start_) {
        return false;
    }
    // Each key's rows together (a table sorted by symbol): the groups are
    // read and written where they lie, in the order they come.
    together_ = runs == count_;
    if (together_) {
        std::size_t g = 0;
        for (std::size_t r = 0; r < rows_; ++r) {
            if (r == 0 || codes[r] != codes[r - 1]) {
                start_[g++] = r;
            }
        }
        start_[count_] = rows_;
        return true;
    }
    place_ = try_allocate(rows_);
    if (!place_) {
        return false;
    }
    std::sort(order.get(), order.get() + count_, [&](std::size_t a, std::size_t b) {
        return next[a] != next[b] ? next[a] < next[b] : a < b;
    });
    std::size_t at = 0;
    for (std::size_t g = 0; g < count_; ++g) {
        start_[g] = at;
        at += std::exchange(next[order[g]], at);
    }
    start_[count_] = at;
    for (std::size_t r = 0; r < rows_; ++r) {
        place_[r] = next[static_cast<std::size_t>(codes[r] - low)]++;
    }
    return true;
}

void Groups::gather(std::span<const double> values, double* into) const noexcept {
    for (std::size_t r = 0; r < rows_; ++r) {
        into[place_[r]] = values[r];
    }
}

void Groups::scatter(const double* grouped, RowOutput out, std::size_t fields) const noexcept {
    for (std::size_t r = 0; r < rows_; ++r) {
        const double* values = grouped + place_[r] * fields;
        for (std::size_t f = 0; f < fields; ++f) {
            out.field(f).put(r, values[f]);
        }
    }
}

std::size_t Groups::holding_nan(const double* grouped) const noexcept {
    std::size_t holding = 0;
    for (std::size_t g = 0; g < count_; ++g) {
        holding += std::any_of(grouped + start_[g], grouped + start_[g + 1],
                               [](double v) { return v != v; })
                       ? 1U
                       : 0U;
    }
    return holding;
}

} // namespace tarnwick::arrays
