// SPDX-License-Identifier: MIT
// Whether a series holds a NaN, for the GARCH warning of a seed made NaN by its
// returns. Every call that makes its own seed scans its returns first, so the
// scan runs in blocks with no branch per value, which the compiler turns into
// vector comparisons; a branch per value cost a third of the kernel's time.
// A block's finding is a double selected per value: GCC 12 left a flag of
// another type or'ed per value scalar (one value per compare), about a fifth
// of a 500 x 2,520 rows GARCH call.
#pragma once

#include <cstddef>
#include <span>

namespace tarnwick::arrays {

[[nodiscard]] inline bool holds_nan(std::span<const double> values) noexcept {
    constexpr std::size_t block = 64;
    const double* v = values.data();
    const std::size_t n = values.size();
    std::size_t i = 0;
    for (; i + block <= n; i += block) {
        double found = 0.0;
        for (std::size_t j = i; j < i + block; ++j) {
            found = v[j] != v[j] ? 1.0 : found;
        }
        if (found != 0.0) {
            return true;
        }
    }
    unsigned found = 0;
    for (; i < n; ++i) {
        found |= static_cast<unsigned>(v[i] != v[i]);
    }
    return found != 0;
}

} // namespace tarnwick::arrays
