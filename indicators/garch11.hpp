// SPDX-License-Identifier: MIT
// GARCH(1,1) conditional variance.
//
//   v[i] = max(0, (alpha * r[i]) * r[i] + omega + v[i-1] * beta),   v[-1] = seed
//
// The seed is the plain mean of r[i]^2 (not demeaned, divisor n), summed in
// index order with one accumulator; a mean that is not finite and positive is
// replaced by 1e-8. Every step is floored at +0.0, so a NaN, a negative value
// or -0.0 never appears and never propagates. The grouping above is fixed and
// nothing may be fused or reassociated: callers rely on identical bits on
// every platform.
#pragma once

#include "series_output.hpp"

#include <cstddef>
#include <span>

namespace tarnwick {

// The mean of the squared returns, or 1e-8 where that is not finite and > 0.
[[nodiscard]] double garch11_seed(std::span<const double> returns) noexcept;

template <SeriesOutput Out>
void compute_garch11_variance(Out& out, std::span<const double> returns, double omega, double alpha,
                              double beta) noexcept {
    const std::size_t n = returns.size();
    out.start(n);
    if (n == 0) {
        return;
    }
    double v = garch11_seed(returns);
    for (std::size_t i = 0; i < n; ++i) {
        const double r = returns[i];
        const double t = v * beta + ((alpha * r) * r + omega);
        // NaN, -0.0 and negative values all become +0.0.
        v = t > 0.0 ? t : 0.0;
        out.put(i, v);
    }
}

} // namespace tarnwick
