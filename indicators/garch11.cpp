// SPDX-License-Identifier: MIT
#include "garch11.hpp"

#include <cmath>

namespace tarnwick {

double garch11_seed_from(double mean) noexcept {
    constexpr double fallback = 1e-8;
    return std::isfinite(mean) && mean > 0.0 ? mean : fallback;
}

} // namespace tarnwick
