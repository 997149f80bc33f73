// SPDX-License-Identifier: MIT
// The ways a kernel can refuse its inputs. The binding layer raises each as a
// ValueError carrying `message(error)`.
#pragma once

#include "status.hpp"

#include <string_view>

namespace tarnwick {

enum class KernelError : unsigned char {
    adx_lengths_differ, // high, low and close are not all the same length
    adx_zero_period,    // a period of 0 leaves the smoothing weight 1/period undefined
    sar_lengths_differ, // high and low are not the same length
};

[[nodiscard]] constexpr std::string_view message(KernelError error) noexcept {
    switch (error) {
    case KernelError::adx_lengths_differ:
        return "high, low, and close lengths must match";
    case KernelError::adx_zero_period:
        return "period must be > 0";
    case KernelError::sar_lengths_differ:
        return "high and low lengths must match";
    }
    return "invalid input";
}

// What a kernel returns: ok once it has written its result, or the reason it
// wrote none.
using KernelStatus = Status<KernelError>;

} // namespace tarnwick
