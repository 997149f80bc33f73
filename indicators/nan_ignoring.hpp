// SPDX-License-Identifier: MIT
// NaN-ignoring maximum and minimum: a NaN operand loses to a number, two NaNs
// give NaN, and equal operands give the second operand. The comparison picks
// b whenever it is false (NaN included); a NaN pick then falls back to a.
#pragma once

namespace tarnwick {

[[nodiscard]] constexpr double nan_ignoring_max(double a, double b) noexcept {
    const double m = a > b ? a : b;
    return m != m ? a : m;
}

[[nodiscard]] constexpr double nan_ignoring_min(double a, double b) noexcept {
    const double m = a < b ? a : b;
    return m != m ? a : m;
}

} // namespace tarnwick
