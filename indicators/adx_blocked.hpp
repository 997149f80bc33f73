// SPDX-License-Identifier: MIT
// ADX of one series with its divisions made many bars at once. A bar's three
// divisions (+DI, -DI, then DX) depend on that bar's smoothed values alone,
// so they need not wait in the serial recurrences, where the divider bounds
// the pass: a block of bars at a time, the movements of its bars in lanes,
// the recurrences of ATR and the movements bar by bar, and the divisions in
// lanes, the blocks' work woven together (adx_groups). Every value is the
// same operation on the same operands in the same order as in AdxKernel (the
// products x * w of each s * k + x * w made in lanes ahead), so the bits are
// its bits.
#pragma once

#include "adx.hpp"

#include <cstddef>
#include <type_traits>

namespace tarnwick::TARNWICK_TARGET {

// Bars in a block: measured fastest of 8 to 128 with four and eight lanes
// (fewer spends more on starting blocks; more leaves more of a short
// series' bars, a year of daily ones, to the serial pass).
inline constexpr std::size_t adx_block = 16;

// `count` bars (whole blocks) after the bar at high[0], low[0], close[0],
// which `state` already holds smoothed. The work of three blocks is woven
// bar by bar into one loop: while block b's recurrences run, the movements
// of block b + 1 are made and the divisions of block b - 1, a lane set at a
// time, and block b - 2's ADX steps on, so that the serial chains always
// have independent work beside them in program order.
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
    const std::size_t blocks = count / block;
    double tr_w[2][block]; // x * w of each bar's true range and movements
    double plus_w[2][block];
    double minus_w[2][block];
    double atr[2][block]; // the smoothed values, for the divisions
    double plus_sm[2][block];
    double minus_sm[2][block];
    double dx_w[3][block]; // DX * w, for the ADX two blocks behind
    // The movements of lane set `at` of block `b`.
    const auto movements = [&](std::size_t b, std::size_t at) {
        const std::size_t j = b * block + at;
        const auto m = Kernel::movement(L::load(high + j + 1), L::load(low + j + 1),
                                        L::load(high + j), L::load(low + j), L::load(close + j));
        L::store(tr_w[b % 2] + at, m.tr * w);
        L::store(plus_w[b % 2] + at, m.plus_dm * w);
        L::store(minus_w[b % 2] + at, m.minus_dm * w);
    };
    // The divisions of lane set `at` of block `b`, whose smoothed values are in.
    const auto divisions = [&](std::size_t b, std::size_t at) {
        typename Kernel::State smoothed;
        smoothed.atr = L::load(atr[b % 2] + at);
        smoothed.plus_dm = L::load(plus_sm[b % 2] + at);
        smoothed.minus_dm = L::load(minus_sm[b % 2] + at);
        const auto indicators = Kernel::indicators(smoothed);
        L::store(dx_w[b % 3] + at, indicators.dx * w);
        if (out.plus_di != nullptr) {
            const std::size_t j = b * block + at;
            L::store(out.plus_di + j, stored_lanes<L>(indicators.plus_di));
            L::store(out.minus_di + j, stored_lanes<L>(indicators.minus_di));
            L::store(out.dx + j, stored_lanes<L>(indicators.dx));
            L::store(out.atr + j, stored_lanes<L>(smoothed.atr));
        }
    };
    // ADX at bar `i` of block `b`, whose DX are in.
    const auto adx = [&](std::size_t b, std::size_t i) {
        s.adx = s.adx * p.k + dx_w[b % 3][i];
        out.adx[b * block + i] = stored(s.adx);
    };
    if (blocks > 0) {
        for (std::size_t at = 0; at < block; at += width) {
            movements(0, at);
        }
    }
    // Block b's recurrences, with what goes beside them; the tests of
    // whether there is a block two behind, one ahead and one behind made once
    // a block, not once a bar.
    const auto step = [&](std::size_t b, auto behind_two, auto ahead, auto behind) {
        const double* tr = tr_w[b % 2];
        const double* plus = plus_w[b % 2];
        const double* minus = minus_w[b % 2];
        for (std::size_t at = 0; at < block; at += width) {
            for (std::size_t i = at; i < at + width; ++i) {
                s.atr = s.atr * p.k + tr[i];
                s.plus_dm = s.plus_dm * p.k + plus[i];
                s.minus_dm = s.minus_dm * p.k + minus[i];
                atr[b % 2][i] = s.atr;
                plus_sm[b % 2][i] = s.plus_dm;
                minus_sm[b % 2][i] = s.minus_dm;
                if constexpr (decltype(behind_two)::value) {
                    adx(b - 2, i);
                }
            }
            if constexpr (decltype(ahead)::value) {
                movements(b + 1, at);
            }
            if constexpr (decltype(behind)::value) {
                divisions(b - 1, at);
            }
        }
    };
    using yes = std::true_type;
    using no = std::false_type;
    for (std::size_t b = 0; b < blocks; ++b) {
        const bool last = b + 1 == blocks;
        if (b >= 2 && !last) {
            step(b, yes{}, yes{}, yes{});
        } else if (b >= 2) {
            step(b, yes{}, no{}, yes{});
        } else if (b == 1) {
            last ? step(b, no{}, no{}, yes{}) : step(b, no{}, yes{}, yes{});
        } else {
            last ? step(b, no{}, no{}, no{}) : step(b, no{}, yes{}, no{});
        }
    }
    if (blocks > 0) {
        for (std::size_t at = 0; at < block; at += width) {
            divisions(blocks - 1, at);
        }
        for (std::size_t b = blocks >= 2 ? blocks - 2 : 0; b < blocks; ++b) {
            for (std::size_t i = 0; i < block; ++i) {
                adx(b, i);
            }
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
