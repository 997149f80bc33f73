// SPDX-License-Identifier: MIT
#include "parabolic_sar.hpp"

namespace tarnwick {

double sar_start_factor(double af_step) noexcept {
    constexpr double floor = 1e-6;
    // A NaN af_step fails the comparison and starts at the floor too.
    return af_step > floor ? af_step : floor;
}

} // namespace tarnwick
