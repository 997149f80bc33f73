// SPDX-License-Identifier: MIT
#include "adx.hpp"

#include "lanes.hpp"
#include "nan_ignoring.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace tarnwick {

namespace {

// Directional movement and true range of bars [first, first + count), which
// do not depend on one another. Written to plus_dm, minus_dm and tr at 0..count-1.
struct Movement {
    double* plus_dm;
    double* minus_dm;
    double* tr;
};

void movement_scalar(std::span<const double> high, std::span<const double> low,
                     std::span<const double> close, std::size_t j, Movement out,
                     std::size_t at) noexcept {
    const double up = high[j] - high[j - 1];
    const double down = low[j - 1] - low[j];
    out.plus_dm[at] = down < up && 0.0 < up ? up : 0.0;
    out.minus_dm[at] = up < down && 0.0 < down ? down : 0.0;
    const double hl = high[j] - low[j];
    const double hc = std::fabs(high[j] - close[j - 1]);
    const double lc = std::fabs(low[j] - close[j - 1]);
    out.tr[at] = nan_ignoring_max(nan_ignoring_max(hl, hc), lc);
}

void movement(std::span<const double> high, std::span<const double> low,
              std::span<const double> close, std::size_t first, std::size_t count,
              Movement out) noexcept {
    using namespace lanes;
    const f64x2 zero = broadcast(0.0);
    std::size_t at = 0;
    for (; at + 2 <= count; at += 2) {
        const std::size_t j = first + at;
        const f64x2 h = load(&high[j]);
        const f64x2 l = load(&low[j]);
        const f64x2 prev_close = load(&close[j - 1]);
        const f64x2 up = h - load(&high[j - 1]);
        const f64x2 down = load(&low[j - 1]) - l;
        store(out.plus_dm + at, select((down < up) & (zero < up), up, zero));
        store(out.minus_dm + at, select((up < down) & (zero < down), down, zero));
        const f64x2 hl = h - l;
        const f64x2 hc = abs(h - prev_close);
        const f64x2 lc = abs(l - prev_close);
        store(out.tr + at, nan_ignoring_max(nan_ignoring_max(hl, hc), lc));
    }
    if (at < count) {
        movement_scalar(high, low, close, first + at, out, at);
    }
}

} // namespace

KernelResult compute_adx(std::span<const double> high, std::span<const double> low,
                         std::span<const double> close, std::uint64_t period) noexcept {
    if (low.size() != high.size() || close.size() != high.size()) {
        return KernelError::adx_lengths_differ;
    }
    if (period == 0) {
        return KernelError::adx_zero_period;
    }
    const std::size_t n = high.size();
    if (n == 0) {
        return FloatSeries{};
    }
    const double w = 1.0 / static_cast<double>(period);
    const double k = 1.0 - w;

    FloatSeries adx_out = FloatSeries::uninitialized(n);
    adx_out[0] = 0.0;

    // The per-bar terms are made a block at a time, two bars per vector step,
    // and consumed at once by the serial recurrences while still in cache.
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
        movement(high, low, close, first, count, {plus_dm, minus_dm, tr});
        for (std::size_t at = 0; at < count; ++at) {
            atr = atr * k + tr[at] * w;
            plus_smoothed = plus_smoothed * k + plus_dm[at] * w;
            minus_smoothed = minus_smoothed * k + minus_dm[at] * w;
            double dx = 0.0;
            if (atr > 0.0) {
                // Both indicators in one two-lane division, lane by lane the
                // same (S+-DM * 100) / ATR as two scalar divisions.
                using namespace lanes;
                const f64x2 smoothed = {plus_smoothed, minus_smoothed};
                const f64x2 di = (smoothed * broadcast(100.0)) / broadcast(atr);
                const double plus_di = di[0];
                const double minus_di = di[1];
                const double sum = plus_di + minus_di;
                if (sum > 0.0) {
                    dx = (std::fabs(plus_di - minus_di) * 100.0) / sum;
                }
            }
            adx = adx * k + dx * w;
            adx_out[first + at] = adx;
        }
    }
    return adx_out;
}

} // namespace tarnwick
