// SPDX-License-Identifier: MIT
// Average Directional Index, with w = 1/period and k = 1 - w:
//
//   +DM, -DM   the larger of the up and down move, if strictly larger and > 0
//   TR         NaN-ignoring max(max(high - low, |high - prev close|), |low - prev close|)
//   s[j]       = s[j-1] * k + x[j] * w, from s[0] = 0, for ATR, +DM and -DM
//   +DI, -DI   = (S+DM * 100) / ATR and (S-DM * 100) / ATR, 0 unless ATR > 0
//   DX         = (|+DI - -DI| * 100) / (+DI + -DI), 0 unless the sum is > 0
//   ADX[j]     = ADX[j-1] * k + DX[j] * w, from ADX[0] = 0
//
// No warm-up: bar 0 is 0 and every later bar has a value. Comparisons with
// NaN are false, so a NaN move counts as no move and a NaN term is skipped in
// TR; a NaN ATR stays NaN and zeroes every later DX. Each product and quotient
// is rounded on its own in exactly this order (no fused multiply-add, no
// other algebraic form), because callers compare results bit for bit. A NaN
// result (from an infinite price) is stored as the one quiet NaN.
#pragma once

#include "ieee_double.hpp"
#include "kernel_error.hpp"
#include "lanes.hpp"
#include "series_output.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tarnwick {

// Directional movement and true range of the bars first .. first + count - 1,
// which do not depend on one another, made two bars at a time. Written to
// index 0 .. count - 1 of each array.
struct Movement {
    double* plus_dm;
    double* minus_dm;
    double* tr;
};
void adx_movement(std::span<const double> high, std::span<const double> low,
                  std::span<const double> close, std::size_t first, std::size_t count,
                  Movement out) noexcept;

// Refuses series of different lengths, then a period of 0.
template <SeriesOutput Out>
KernelStatus compute_adx(Out& out, std::span<const double> high, std::span<const double> low,
                         std::span<const double> close, std::uint64_t period) noexcept {
    if (low.size() != high.size() || close.size() != high.size()) {
        return KernelError::adx_lengths_differ;
    }
    if (period == 0) {
        return KernelError::adx_zero_period;
    }
    const std::size_t n = high.size();
    out.start(n);
    if (n == 0) {
        return KernelStatus::ok();
    }
    const double w = 1.0 / static_cast<double>(period);
    const double k = 1.0 - w;
    out.put(0, 0.0);

    // The per-bar terms are made a block at a time and consumed at once by the
    // serial recurrences while still in cache.
    constexpr std::size_t block = 256;
    double plus_dm[block];
    double minus_dm[block];
    double tr[block];

    double atr = 0.0;
    double plus_smoothed = 0.0;
    double minus_smoothed = 0.0;
    double adx = 0.0;
    for (std::size_t first = 1; first < n; first += block) {
        const std::size_t count = std::min(block, n - first);
        adx_movement(high, low, close, first, count, {plus_dm, minus_dm, tr});
        for (std::size_t at = 0; at < count; ++at) {
            atr = atr * k + tr[at] * w;
            plus_smoothed = plus_smoothed * k + plus_dm[at] * w;
            minus_smoothed = minus_smoothed * k + minus_dm[at] * w;
            double dx = 0.0;
            if (atr > 0.0) {
                // Both indicators in one two-lane division, lane by lane the
                // same (S+-DM * 100) / ATR as two scalar divisions.
                using namespace lanes;
                const f64x2 smoothed = pair(plus_smoothed, minus_smoothed);
                const f64x2 di = (smoothed * broadcast(100.0)) / broadcast(atr);
                const double plus_di = first_lane(di);
                const double minus_di = second_lane(di);
                const double sum = plus_di + minus_di;
                if (sum > 0.0) {
                    dx = (std::fabs(plus_di - minus_di) * 100.0) / sum;
                }
            }
            adx = adx * k + dx * w;
            out.put(first + at, stored(adx));
        }
    }
    return KernelStatus::ok();
}

} // namespace tarnwick
