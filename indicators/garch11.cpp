// SPDX-License-Identifier: MIT
#include "garch11.hpp"

#include <cmath>

namespace tarnwick {

double garch11_seed_from(double mean) noexcept {
    constexpr double fallback = 1e-8;
    return std::isfinite(mean) && mean > 0.0 ? mean : fallback;
}

double garch11_seed(std::span<const double> returns) noexcept {
    const TARNWICK_TARGET::Garch11Kernel<TARNWICK_TARGET::OneLane> kernel(Garch11Parameters{});
    double sum = kernel.ahead();
    for (const double& r : returns) {
        kernel.look(sum, &r);
    }
    Garch11State<double> state;
    kernel.begin(state, sum, returns.size());
    return state.seed;
}

} // namespace tarnwick
