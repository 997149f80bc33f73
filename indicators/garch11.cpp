// SPDX-License-Identifier: MIT
#include "garch11.hpp"

#include <cmath>

namespace tarnwick {

double garch11_seed_from(double mean) noexcept {
    constexpr double fallback = 1e-8;
    return std::isfinite(mean) && mean > 0.0 ? mean : fallback;
}

double garch11_seed(std::span<const double> returns) noexcept {
    double sum = 0.0;
    for (const double r : returns) {
        sum += r * r;
    }
    return garch11_seed_from(sum / static_cast<double>(returns.size()));
}

} // namespace tarnwick
