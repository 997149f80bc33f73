// SPDX-License-Identifier: MIT
// GARCH(1,1) conditional variance: one variance per return, from a seed that
// stands in for the variance before the first return. The seed is the plain
// mean of the squared returns (not demeaned, divisor n, summed in index order
// with one accumulator), or 1e-8 where that mean is not finite and positive.
// Each step (below) is floored at +0.0, so a NaN, a negative value or -0.0
// never appears and never propagates. The grouping of the step is fixed and
// nothing may be fused or reassociated: callers rely on identical bits on
// every platform.
#pragma once

#include "kernel_error.hpp"
#include "series_output.hpp"

#include <cstddef>
#include <span>

namespace tarnwick {

// The mean of the squared returns, or 1e-8 where that is not finite and > 0.
[[nodiscard]] double garch11_seed(std::span<const double> returns) noexcept;

// Refuses nothing: every length and every value computes a result.
template <SeriesOutput Out>
KernelStatus compute_garch11_variance(Out& out, std::span<const double> returns, double omega,
                                      double alpha, double beta) noexcept {
    const std::size_t n = returns.size();
    out.start(n);
    if (n == 0) {
        return KernelStatus::ok();
    }
    double v = garch11_seed(returns);
    for (std::size_t i = 0; i < n; ++i) {
        const double r = returns[i];
        // alpha times the return, times the return again; omega joins that
        // term before the weighted previous variance is added.
        const double shock = (alpha * r) * r + omega;
        const double t = v * beta + shock;
        // NaN, -0.0 and negative values all become +0.0.
        v = t > 0.0 ? t : 0.0;
        out.put(i, v);
    }
    return KernelStatus::ok();
}

} // namespace tarnwick
