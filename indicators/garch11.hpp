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

#include "float_series.hpp"

#include <span>

namespace tarnwick {

[[nodiscard]] FloatSeries compute_garch11_variance(std::span<const double> returns, double omega,
                                                   double alpha, double beta) noexcept;

} // namespace tarnwick
