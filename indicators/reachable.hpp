// SPDX-License-Identifier: MIT
// What the kernels' states have in common when a checkpoint is read back:
// each state says which of its values a series can reach (its `reachable`),
// and a state no series reaches is a corrupted one.
#pragma once

#include <bit>
#include <cstdint>

namespace tarnwick {

// No series reaches 2**63 bars (three centuries at one bar a nanosecond); a
// count beyond that is damage, and the next bars would wrap it to 0.
inline constexpr std::uint64_t most_bars = std::uint64_t{1} << 63;

// +0.0 exactly, as a fresh state holds it.
[[nodiscard]] constexpr bool positive_zero(double x) noexcept {
    return std::bit_cast<std::uint64_t>(x) == 0;
}

// The same bits, or both NaN: a value as it was stored (any NaN as the one
// quiet NaN) and the state it came from.
[[nodiscard]] constexpr bool same_value(double a, double b) noexcept {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b) || (a != a && b != b);
}

} // namespace tarnwick
