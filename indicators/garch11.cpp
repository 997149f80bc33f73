// SPDX-License-Identifier: MIT
#include "garch11.hpp"

#include <cmath>
#include <cstddef>

namespace tarnwick {

namespace {

constexpr double fallback_seed = 1e-8;

double seed_variance(std::span<const double> returns) noexcept {
    double sum = 0.0;
    for (const double r : returns) {
        sum += r * r;
    }
    const double mean = sum / static_cast<double>(returns.size());
    return std::isfinite(mean) && mean > 0.0 ? mean : fallback_seed;
}

} // namespace

FloatSeries compute_garch11_variance(std::span<const double> returns, double omega, double alpha,
                                     double beta) noexcept {
    const std::size_t n = returns.size();
    if (n == 0) {
        return {};
    }
    FloatSeries out = FloatSeries::uninitialized(n);
    double v = seed_variance(returns);
    for (std::size_t i = 0; i < n; ++i) {
        const double r = returns[i];
        const double t = v * beta + ((alpha * r) * r + omega);
        // NaN, -0.0 and negative values all become +0.0.
        v = t > 0.0 ? t : 0.0;
        out[i] = v;
    }
    return out;
}

} // namespace tarnwick
