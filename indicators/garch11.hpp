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

#include "ieee_double.hpp"
#include "kernel_error.hpp"
#include "reachable.hpp"
#include "series_output.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tarnwick {

// The seed a variance recursion starts from: `mean` if it is finite and > 0,
// otherwise 1e-8.
[[nodiscard]] double garch11_seed_from(double mean) noexcept;

// The mean of the squared returns, through garch11_seed_from.
[[nodiscard]] double garch11_seed(std::span<const double> returns) noexcept;

struct Garch11Parameters {
    double omega;
    double alpha;
    double beta;
};

// Everything the next return depends on.
struct Garch11State {
    double variance = 0.0;   // the previous variance, or the seed before the first return
    double seed = quiet_nan; // what the recursion started from; NaN until it is known
    std::uint64_t bars = 0;  // returns seen

    // Whether a series can leave this state, `last` the value of its last
    // return (NaN before the first). A seed is NaN until known, then finite
    // and > 0 (garch11_seed_from); the variance starts at the seed, and each
    // step floors it at +0.0 and gives it as its value.
    [[nodiscard]] bool reachable(double last) const noexcept {
        const bool seeded = seed > 0.0 && std::isfinite(seed);
        if (bars == 0) {
            return last != last &&
                   (seeded ? same_value(variance, seed) : seed != seed && positive_zero(variance));
        }
        return bars < most_bars && seeded && variance >= 0.0 && !std::signbit(variance) &&
               same_value(last, variance);
    }
};

// Starts a recursion from `seed` under the 1e-8 rule (garch11_seed_from).
inline void garch11_seed_state(Garch11State& s, double seed) noexcept {
    s.seed = garch11_seed_from(seed);
    s.variance = s.seed;
}

// One return: its variance, which already contains r (the forecast for the
// next period).
[[nodiscard]] inline double garch11_step(Garch11State& s, const Garch11Parameters& p,
                                         double r) noexcept {
    // alpha times the return, times the return again; omega joins that
    // term before the weighted previous variance is added.
    const double shock = (p.alpha * r) * r + p.omega;
    const double t = s.variance * p.beta + shock;
    // NaN, -0.0 and negative values all become +0.0.
    s.variance = t > 0.0 ? t : 0.0;
    ++s.bars;
    return s.variance;
}

// Continues `state` over the returns: the values of as many garch11_step
// calls.
template <SeriesOutput Out>
void garch11_extend(Out& out, Garch11State& state, const Garch11Parameters& parameters,
                    std::span<const double> returns) noexcept {
    const std::size_t n = returns.size();
    out.start(n);
    // Local copies, which stores into the output cannot alias, so that the
    // state and the parameters stay in registers.
    Garch11State s = state;
    const auto p = parameters;
    for (std::size_t i = 0; i < n; ++i) {
        out.put(i, garch11_step(s, p, returns[i]));
    }
    state = s;
}

// Refuses nothing: every length and every value computes a result.
template <SeriesOutput Out>
KernelStatus compute_garch11_variance(Out& out, std::span<const double> returns, double omega,
                                      double alpha, double beta) noexcept {
    Garch11State state;
    if (!returns.empty()) {
        garch11_seed_state(state, garch11_seed(returns));
    }
    garch11_extend(out, state, {omega, alpha, beta}, returns);
    return KernelStatus::ok();
}

} // namespace tarnwick
