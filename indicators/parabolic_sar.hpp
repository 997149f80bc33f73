// SPDX-License-Identifier: MIT
// Parabolic Stop-and-Reverse.
//
// Starts in an up-trend with stop low[0], extreme ep = high[0] and factor
// af_start = af_step, floored at 1e-6. At each later bar the stop steps to
// c = (ep - sar) * af + sar, limited by the previous bar's low (up) or high
// (down) with a NaN-ignoring min or max. A bar whose low falls strictly below
// (up) or whose high rises strictly above (down) that stop reverses the trend:
// the old ep is reported and becomes the stop, the bar's price the new ep, and
// the factor restarts at af_start. Otherwise a strictly new extreme raises the
// factor to min(af + af_step, af_max), NaN-ignoring. Comparisons with NaN are
// false, so a NaN never reverses a trend or becomes an extreme. The step is a
// subtraction, a product and a sum, each rounded on its own.
#pragma once

#include "kernel_error.hpp"

#include <span>

namespace tarnwick {

// Refuses series of different lengths.
[[nodiscard]] KernelResult compute_parabolic_sar(std::span<const double> high,
                                                 std::span<const double> low, double af_step,
                                                 double af_max) noexcept;

} // namespace tarnwick
