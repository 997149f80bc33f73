// SPDX-License-Identifier: MIT
// ADX of one series with its divisions made many bars at once. A bar's three
// divisions (+DI, -DI, then DX) depend on that bar's smoothed values alone,
// so they need not wait in the serial recurrences, where the divider bounds
// the pass: a block of bars at a time, the movements of its bars in lanes,
// then the recurrences of ATR and the movements bar by bar, then the
// divisions in lanes. The ADX recurrence runs a block behind, beside the
// next block's recurrences, when its DX are known. Every value is the same
// operation on the same operands in the same order as in AdxKernel (the
// products x * w of each s * k + x * w made in lanes ahead), so the bits are
// its bits.
#pragma once

#include "adx.hpp"

#include <cstddef>

namespace tarnwick::TARNWICK_TARGET {

// Bars in a block: measured fastest of 8 to 128 with four and eight lanes
// (more leaves the divisions of a block less time to overlap the next
// block's recurrences; fewer spends more on starting blocks).
inline constexpr std::size_t adx_block = 16;

// `count` bars (whole blocks) after the bar at high[0], low[0], close[0],
// which `state` already holds smoothed.
template <class L, std::size_t block>
void adx_groups(AdxState<double>& state, const AdxParameters& parameters, const double* high,
                const double* low, const double* close, std::size_t count,
                const AdxRunOut& out) noexcept {
    // Local copies, which stores into the output cannot alias, so that the
    // recurrences stay in registers.
    AdxState<double> s = state;
    const AdxParameters p = parameters;
    using Kernel = AdxKernel<L>;
    constexpr std::size_t width = L::width;
    static_assert(block % width == 0);
    const auto w = L::splat(p.w);
    double dx_w[2][block]; // DX * w of the block whose ADX is still to come
    const std::size_t blocks = count / block;
    double tr_w[block]; // x * w of each bar's true range and movements
    double plus_w[block];
    double minus_w[block];
    double atr[block];
    double plus_sm[block];
    double minus_sm[block];
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::size_t first = b * block;
        for (std::size_t at = 0; at < block; at += width) {
            const std::size_t j = first + at;
            const auto m =
                Kernel::movement(L::load(high + j + 1), L::load(low + j + 1), L::load(high + j),
                                 L::load(low + j), L::load(close + j));
            L::store(tr_w + at, m.tr * w);
            L::store(plus_w + at, m.plus_dm * w);
            L::store(minus_w + at, m.minus_dm * w);
        }
        const double* before = dx_w[(b + 1) % 2];
        double* adx_before = out.adx + first - block;
        for (std::size_t i = 0; i < block; ++i) {
            s.atr = s.atr * p.k + tr_w[i];
            s.plus_dm = s.plus_dm * p.k + plus_w[i];
            s.minus_dm = s.minus_dm * p.k + minus_w[i];
            atr[i] = s.atr;
            plus_sm[i] = s.plus_dm;
            minus_sm[i] = s.minus_dm;
            if (b > 0) {
                s.adx = s.adx * p.k + before[i];
                adx_before[i] = stored(s.adx);
            }
        }
        for (std::size_t at = 0; at < block; at += width) {
            typename Kernel::State smoothed;
            smoothed.atr = L::load(atr + at);
            smoothed.plus_dm = L::load(plus_sm + at);
            smoothed.minus_dm = L::load(minus_sm + at);
            const auto indicators = Kernel::indicators(smoothed);
            L::store(dx_w[b % 2] + at, indicators.dx * w);
            if (out.plus_di != nullptr) {
                const std::size_t j = first + at;
                L::store(out.plus_di + j, stored_lanes<L>(indicators.plus_di));
                L::store(out.minus_di + j, stored_lanes<L>(indicators.minus_di));
                L::store(out.dx + j, stored_lanes<L>(indicators.dx));
                L::store(out.atr + j, stored_lanes<L>(smoothed.atr));
            }
        }
    }
    if (blocks > 0) {
        const double* last = dx_w[(blocks - 1) % 2];
        for (std::size_t i = 0; i < block; ++i) {
            s.adx = s.adx * p.k + last[i];
            out.adx[count - block + i] = stored(s.adx);
        }
    }
    state = s;
}

// AdxRun in lanes L: whole blocks, then the bars left one at a time.
template <class L>
void adx_run_in(AdxState<double>& s, const AdxParameters& p, const double* high, const double* low,
                const double* close, std::size_t count, const AdxRunOut& out) noexcept {
    const std::size_t whole = count - count % adx_block;
    adx_groups<L, adx_block>(s, p, high, low, close, whole, out);
    adx_groups<OneLane, 1>(s, p, high + whole, low + whole, close + whole, count - whole,
                           out.after(whole));
}

} // namespace tarnwick::TARNWICK_TARGET
