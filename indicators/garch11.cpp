// SPDX-License-Identifier: MIT
#include "garch11.hpp"

#include <cmath>

namespace tarnwick {

double garch11_seed(std::span<const double> returns) noexcept {
    constexpr double fallback = 1e-8;
    double sum = 0.0;
    for (const double r : returns) {
        sum += r * r;
    }
    const double mean = sum / static_cast<double>(returns.size());
    return std::isfinite(mean) && mean > 0.0 ? mean : fallback;
}

} // namespace tarnwick
