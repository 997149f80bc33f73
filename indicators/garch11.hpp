// SPDX-License-Identifier: MIT
// GARCH(1,1) conditional variance: one variance per return, from a seed that
// stands in for the variance before the first return. The seed is the plain
// mean of the squared returns (not demeaned, divisor n, summed in index order
// with one accumulator), or 1e-8 where that mean is not finite and positive.
// Each step (below) is floored at +0.0, so a NaN, a negative value or -0.0
// never appears and never propagates. The grouping of the step is fixed and
// nothing may be fused or reassociated: callers rely on identical bits on
// every platform.
// Garch11Kernel is that step over a lane type (lane_ops.hpp); the seed is
// its own to make, from a seed it was given or from its series' squares.
#pragma once

#include "ieee_double.hpp"
#include "lane_ops.hpp"
#include "reachable.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

namespace tarnwick {

// The seed a variance recursion starts from: `mean` if it is finite and > 0,
// otherwise 1e-8.
[[nodiscard]] double garch11_seed_from(double mean) noexcept;

// The weights, and the seed a caller gave, if it gave one.
struct Garch11Parameters {
    double omega;
    double alpha;
    double beta;
    bool seeded = false;
    double seed = 0.0;
};

// Everything the next return depends on, in each lane.
template <class V> struct Garch11State {
    V variance{}; // the previous variance, or the seed before the first return
    // What the recursion started from; NaN until it is known.
    V seed = [] {
        if constexpr (std::is_same_v<V, double>) {
            return quiet_nan;
        } else {
            return V{};
        }
    }();
    std::uint64_t bars = 0; // returns seen

    // Whether a series can leave this state (one lane), `last` the value of
    // its last return (NaN before the first). A seed is NaN until known, then
    // finite and > 0 (garch11_seed_from); the variance starts at the seed,
    // and each step floors it at +0.0 and gives it as its value.
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
inline void garch11_seed_state(Garch11State<double>& s, double seed) noexcept {
    s.seed = garch11_seed_from(seed);
    s.variance = s.seed;
}

} // namespace tarnwick

namespace tarnwick::TARNWICK_TARGET {

template <class L> struct Garch11Kernel {
    using V = typename L::V;
    using State = Garch11State<V>;
    static constexpr std::size_t inputs = 1;
    // Each lane's numbers: the same in every lane, or each series' own.
    V omega, alpha, beta;
    bool seeded;
    V seed;

    explicit Garch11Kernel(const Garch11Parameters& p) noexcept
        : omega(L::splat(p.omega)), alpha(L::splat(p.alpha)), beta(L::splat(p.beta)),
          seeded(p.seeded), seed(L::splat(p.seed)) {}

    // The kernel of rows `row` onwards, one per lane, whose numbers are given
    // one per row (a panel's fit): numbers[j][row + lane] for omega, alpha,
    // beta and the seed in turn, where numbers[j] is not null.
    [[nodiscard]] TARNWICK_LANE_INLINE Garch11Kernel for_rows(const double* const* numbers,
                                                              std::size_t row) const noexcept {
        Garch11Kernel lanes = *this;
        V Garch11Kernel::* const each[] = {&Garch11Kernel::omega, &Garch11Kernel::alpha,
                                           &Garch11Kernel::beta, &Garch11Kernel::seed};
        for (std::size_t j = 0; j < 4; ++j) {
            if (numbers[j] != nullptr) {
                lanes.*each[j] = L::load(numbers[j] + row);
            }
        }
        return lanes;
    }

    // Before the first return, a pass over the series unless a seed was
    // given: each lane's squared returns summed in index order with one
    // accumulator, their plain mean the seed (not demeaned, divisor n).
    [[nodiscard]] bool looks_ahead() const noexcept { return !seeded; }
    [[nodiscard]] V ahead() const noexcept { return L::splat(0.0); }
    TARNWICK_LANE_INLINE void look(V& sum, const V* bar) const noexcept {
        sum = sum + bar[0] * bar[0];
    }
    void begin(State& s, V sum, std::size_t count) const noexcept {
        alignas(64) double seeds[L::width];
        alignas(64) double given[L::width];
        L::store(seeds, sum / L::splat(static_cast<double>(count)));
        L::store(given, seed);
        for (std::size_t lane = 0; lane < L::width; ++lane) {
            seeds[lane] = garch11_seed_from(seeded ? given[lane] : seeds[lane]);
        }
        s.seed = s.variance = L::load(seeds);
    }
    TARNWICK_LANE_INLINE V first(State& s, const V* bar) const noexcept { return step(s, bar); }
    // One return: its variance, which already contains r (the forecast for
    // the next period). alpha times the return, times the return again;
    // omega joins that term before the weighted previous variance is added.
    // NaN, -0.0 and negative values all become +0.0.
    TARNWICK_LANE_INLINE V step(State& s, const V* bar) const noexcept {
        const V zero = L::splat(0.0);
        const V r = bar[0];
        const V shock = (alpha * r) * r + omega;
        const V t = s.variance * beta + shock;
        s.variance = select(zero < t, t, zero);
        return s.variance;
    }
};

} // namespace tarnwick::TARNWICK_TARGET

namespace tarnwick {

// The seed the whole-series kernel makes from `returns`: the one-lane
// kernel's own pass over their squares, for callers outside a pass (the fit).
[[nodiscard]] double garch11_seed(std::span<const double> returns) noexcept;

} // namespace tarnwick
