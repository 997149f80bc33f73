// SPDX-License-Identifier: MIT
// NaN-ignoring maximum and minimum: a NaN operand loses to a number, two NaNs
// give NaN (the first), and equal operands give the second operand. The test
// of b comes first because b is usually an input while a may be the end of a
// serial chain (the SAR step): testing a afterwards would lengthen that chain.
#pragma once

#include "lane_ops.hpp"

namespace tarnwick::TARNWICK_TARGET {

[[nodiscard]] constexpr double nan_ignoring_max(double a, double b) noexcept {
    return b != b ? a : (a > b ? a : b);
}

[[nodiscard]] constexpr double nan_ignoring_min(double a, double b) noexcept {
    return b != b ? a : (a < b ? a : b);
}

} // namespace tarnwick::TARNWICK_TARGET
