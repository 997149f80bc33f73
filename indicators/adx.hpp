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
//
// AdxKernel is the step, written once over a lane type (lane_ops.hpp): a
// guard becomes a select of the value the guarded division made, or 0.
// adx_extend is a tuned one-series pass, proven equal to it bit for bit.
#pragma once

#include "ieee_double.hpp"
#include "lane_ops.hpp"
#include "lanes.hpp"
#include "nan_ignoring.hpp"
#include "reachable.hpp"
#include "series_output.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

namespace tarnwick {

// The smoothing weights of a period (> 0).
struct AdxParameters {
    double w;
    double k;
};

// Everything the next bar depends on, in each lane.
template <class V> struct AdxState {
    V high{}; // the previous bar, once there is one
    V low{};
    V close{};
    V atr{}; // the smoothed true range and movements, and ADX itself
    V plus_dm{};
    V minus_dm{};
    V adx{};
    std::uint64_t bars = 0; // bars seen

    // Whether a series can leave this state, `last` the value of its last
    // bar (NaN before the first). The first bar smooths nothing and gives 0;
    // after it, the movements and ADX, smoothed from terms >= 0 with weights
    // >= 0, are never negative.
    [[nodiscard]] bool reachable(double last) const noexcept {
        const bool unsmoothed = positive_zero(atr) && positive_zero(plus_dm) &&
                                positive_zero(minus_dm) && positive_zero(adx);
        if (bars == 0) {
            return unsmoothed && positive_zero(high) && positive_zero(low) &&
                   positive_zero(close) && last != last;
        }
        if (bars == 1) {
            return unsmoothed && positive_zero(last);
        }
        return bars < most_bars && !(plus_dm < 0.0) && !(minus_dm < 0.0) && !(adx < 0.0) &&
               same_value(last, adx);
    }
};

// Where a run of bars puts its values, from its first bar on: ADX, and
// +DI, -DI, DX and ATR too unless plus_di is null (then all four are).
struct AdxRunOut {
    double* adx;
    double* plus_di = nullptr;
    double* minus_di = nullptr;
    double* dx = nullptr;
    double* atr = nullptr;

    // The places of the values from bar `skip` on.
    [[nodiscard]] AdxRunOut after(std::size_t skip) const noexcept {
        if (plus_di == nullptr) {
            return {adx + skip};
        }
        return {adx + skip, plus_di + skip, minus_di + skip, dx + skip, atr + skip};
    }
};

// Continues `s` (after at least one bar) over `count` bars after the bar at
// high[0], low[0], close[0], as AdxKernel steps would, bit for bit. Only the
// smoothed values and ADX of `s` change; the caller keeps the rest.
using AdxRun = void (*)(AdxState<double>& s, const AdxParameters& p, const double* high,
                        const double* low, const double* close, std::size_t count,
                        const AdxRunOut& out) noexcept;

// The run in the lanes of this process's path (rows.hpp: the widest the
// processor has, or as TARNWICK_LANES asks), or null on the scalar path,
// where the serial pass of adx_extend is the one used.
[[nodiscard]] AdxRun adx_run() noexcept;

} // namespace tarnwick

namespace tarnwick::TARNWICK_TARGET {

// The values of a bar as the directional movement gives them: +DI, -DI,
// DX, ADX and ATR, each stored as the one quiet NaN if NaN.
template <class V> using DirectionalFields = Fields<V, 5>;

// `Directional` steps give every value of the pass (DirectionalFields),
// others ADX alone: the same arithmetic, the other values left unstored.
template <class L, bool Directional = false> struct AdxKernel {
    using V = typename L::V;
    using State = AdxState<V>;
    using Value = std::conditional_t<Directional, DirectionalFields<V>, V>;
    static constexpr std::size_t inputs = 3;
    V k, w;

    explicit AdxKernel(const AdxParameters& p) noexcept : k(L::splat(p.k)), w(L::splat(p.w)) {}

    // The indicators the smoothed values of `s` give: +DI and -DI, 0 unless
    // ATR > 0, and DX, 0 unless their sum is also > 0.
    struct Indicators {
        V plus_di, minus_di, dx;
    };
    TARNWICK_LANE_INLINE static Indicators indicators(const State& s) noexcept {
        const V zero = L::splat(0.0);
        const V hundred = L::splat(100.0);
        const auto some = zero < s.atr;
        const V plus_di = select(some, (s.plus_dm * hundred) / s.atr, zero);
        const V minus_di = select(some, (s.minus_dm * hundred) / s.atr, zero);
        const V sum = plus_di + minus_di;
        return {plus_di, minus_di,
                select(zero < sum, (abs(plus_di - minus_di) * hundred) / sum, zero)};
    }

    // What a bar that left `s` gives, its ADX being `adx` (stored) and its
    // indicators `i`.
    TARNWICK_LANE_INLINE static Value value_of(const State& s, const Indicators& i,
                                               V adx) noexcept {
        if constexpr (Directional) {
            return {{stored_lanes<L>(i.plus_di), stored_lanes<L>(i.minus_di), stored_lanes<L>(i.dx),
                     adx, stored_lanes<L>(s.atr)}};
        } else {
            return adx;
        }
    }
    TARNWICK_LANE_INLINE static Value value_of(const State& s, V adx) noexcept {
        return value_of(s, indicators(s), adx);
    }

    // The first bar of a series: 0, in every value.
    TARNWICK_LANE_INLINE Value first(State& s, const V* bar) const noexcept {
        s.high = bar[0];
        s.low = bar[1];
        s.close = bar[2];
        return value_of(s, L::splat(0.0));
    }
    // The directional movement and true range of a bar after another.
    struct Movement {
        V plus_dm, minus_dm, tr;
    };
    TARNWICK_LANE_INLINE static Movement movement(V h, V l, V prev_high, V prev_low,
                                                  V prev_close) noexcept {
        const V zero = L::splat(0.0);
        const V up = h - prev_high;
        const V down = prev_low - l;
        return {select((down < up) & (zero < up), up, zero),
                select((up < down) & (zero < down), down, zero),
                nan_ignoring_max_lanes(nan_ignoring_max_lanes(h - l, abs(h - prev_close)),
                                       abs(l - prev_close))};
    }

    TARNWICK_LANE_INLINE Value step(State& s, const V* bar) const noexcept {
        const V h = bar[0];
        const V l = bar[1];
        const Movement m = movement(h, l, s.high, s.low, s.close);
        s.atr = s.atr * k + m.tr * w;
        s.plus_dm = s.plus_dm * k + m.plus_dm * w;
        s.minus_dm = s.minus_dm * k + m.minus_dm * w;
        // The indicators once, for ADX and for the values a bar gives: the
        // lanes' divisions are the step's dearest work.
        const Indicators i = indicators(s);
        s.adx = s.adx * k + i.dx * w;
        s.high = h;
        s.low = l;
        s.close = bar[2];
        return value_of(s, i, stored_lanes<L>(s.adx));
    }
};

// The directional movement and true range of one bar.
struct BarMovement {
    double plus_dm;
    double minus_dm;
    double tr;
};

[[nodiscard]] inline BarMovement bar_movement(double high, double low, double prev_high,
                                              double prev_low, double prev_close) noexcept {
    const double up = high - prev_high;
    const double down = prev_low - low;
    const double hl = high - low;
    const double hc = std::fabs(high - prev_close);
    const double lc = std::fabs(low - prev_close);
    return {down < up && 0.0 < up ? up : 0.0, up < down && 0.0 < down ? down : 0.0,
            nan_ignoring_max(nan_ignoring_max(hl, hc), lc)};
}

// The smoothed values as a pass carries them: both movements side by side in
// one pair of lanes (+DM first), the form the indicators' division reads, so
// that a long pass never splits and rejoins them.
struct AdxSmoothed {
    double atr;
    lanes::f64x2 dm;
    double adx;

    [[nodiscard]] static AdxSmoothed of(const AdxState<double>& s) noexcept {
        return {s.atr, lanes::pair(s.plus_dm, s.minus_dm), s.adx};
    }
    void store_into(AdxState<double>& s) const noexcept {
        s.atr = atr;
        s.plus_dm = lanes::first_lane(dm);
        s.minus_dm = lanes::second_lane(dm);
        s.adx = adx;
    }
};

// The indicators of one bar, not yet stored: +DI and -DI only where asked
// for (0 otherwise), so that a pass giving ADX alone carries no more.
struct AdxBar {
    double plus_di;
    double minus_di;
    double dx;
    double adx;
};

// Smooths one bar's true range and movements (+DM first); the bar's values.
// Each lane is the scalar S * k + DM * w, rounded in that order.
template <bool Directional>
[[nodiscard]] inline AdxBar adx_smooth(AdxSmoothed& s, const AdxParameters& p, double tr,
                                       lanes::f64x2 dm) noexcept {
    using namespace lanes;
    s.atr = s.atr * p.k + tr * p.w;
    s.dm = s.dm * broadcast(p.k) + dm * broadcast(p.w);
    double dx = 0.0;
    double plus_di = 0.0;
    double minus_di = 0.0;
    if (s.atr > 0.0) {
        // Both indicators in one two-lane division, lane by lane the same
        // (S+-DM * 100) / ATR as two scalar divisions.
        const f64x2 di = (s.dm * broadcast(100.0)) / broadcast(s.atr);
        const double plus = first_lane(di);
        const double minus = second_lane(di);
        if constexpr (Directional) {
            plus_di = plus;
            minus_di = minus;
        }
        const double sum = plus + minus;
        if (sum > 0.0) {
            dx = (std::fabs(plus - minus) * 100.0) / sum;
        }
    }
    s.adx = s.adx * p.k + dx * p.w;
    return {plus_di, minus_di, dx, s.adx};
}

// Directional movement and true range of the bars first .. first + count - 1
// (first > 0), which do not depend on one another, made two bars at a time.
// Written to index 0 .. count - 1 of each array.
struct Movement {
    double* plus_dm;
    double* minus_dm;
    double* tr;
};
void adx_movement(std::span<const double> high, std::span<const double> low,
                  std::span<const double> close, std::size_t first, std::size_t count,
                  Movement out) noexcept;

// The serial pass of adx_extend after its first bar: each bar's divisions
// in turn, two of them in one pair of lanes.
template <bool Directional, SeriesOutput Out>
void adx_serial(Out& out, AdxState<double>& s, const AdxParameters& p, std::span<const double> high,
                std::span<const double> low, std::span<const double> close) noexcept {
    const std::size_t n = high.size();
    // The per-bar terms are made a block at a time and consumed at once by the
    // serial recurrences while still in cache.
    constexpr std::size_t block = 256;
    double plus_dm[block];
    double minus_dm[block];
    double tr[block];
    AdxSmoothed smoothed = AdxSmoothed::of(s);
    for (std::size_t first = 1; first < n; first += block) {
        const std::size_t count = std::min(block, n - first);
        adx_movement(high, low, close, first, count, {plus_dm, minus_dm, tr});
        for (std::size_t at = 0; at < count; ++at) {
            const AdxBar values = adx_smooth<Directional>(smoothed, p, tr[at],
                                                          lanes::pair(plus_dm[at], minus_dm[at]));
            if constexpr (Directional) {
                out.put(first + at,
                        DirectionalFields<double>{{stored(values.plus_di), stored(values.minus_di),
                                                   stored(values.dx), stored(values.adx),
                                                   stored(smoothed.atr)}});
            } else {
                out.put(first + at, stored(values.adx));
            }
        }
    }
    smoothed.store_into(s);
}

// adx_extend after its first bar through `run`, a block of bars at a time,
// their values put from the block's buffers.
template <bool Directional, SeriesOutput Out>
void adx_run_through(Out& out, AdxState<double>& s, const AdxParameters& p, AdxRun run,
                     std::span<const double> high, std::span<const double> low,
                     std::span<const double> close) noexcept {
    const std::size_t n = high.size();
    if constexpr (PlacedOutput<Out>) {
        // Made where they go, when they can be: copying five values of a bar
        // out of the buffers costs a directional pass more than its stores.
        if (double* const adx = out.places(1, Directional ? 3 : 0); adx != nullptr && n > 1) {
            AdxRunOut places{adx};
            if constexpr (Directional) {
                places = {adx, out.places(1, 0), out.places(1, 1), out.places(1, 2),
                          out.places(1, 4)};
            }
            run(s, p, high.data(), low.data(), close.data(), n - 1, places);
            return;
        }
    }
    constexpr std::size_t block = 256;
    double adx[block];
    double fields[Directional ? 4 : 1][block];
    AdxRunOut places{adx};
    if constexpr (Directional) {
        places = {adx, fields[0], fields[1], fields[2], fields[3]};
    }
    for (std::size_t first = 1; first < n; first += block) {
        const std::size_t count = std::min(block, n - first);
        run(s, p, &high[first - 1], &low[first - 1], &close[first - 1], count, places);
        for (std::size_t at = 0; at < count; ++at) {
            if constexpr (Directional) {
                out.put(first + at,
                        DirectionalFields<double>{
                            {fields[0][at], fields[1][at], fields[2][at], adx[at], fields[3][at]}});
            } else {
                out.put(first + at, adx[at]);
            }
        }
    }
}

// Continues `state` over series of equal length: the values of as many
// AdxKernel<OneLane, Directional> steps, bit for bit, in one pass: the
// divisions in lanes (adx_blocked.hpp) unless the path is the scalar one.
template <bool Directional = false, SeriesOutput Out>
void adx_extend(Out& out, AdxState<double>& state, const AdxParameters& parameters,
                std::span<const double> high, std::span<const double> low,
                std::span<const double> close) noexcept {
    const std::size_t n = high.size();
    out.start(n);
    if (n == 0) {
        return;
    }
    // Local copies, which stores into the output cannot alias, so that the
    // state and the parameters stay in registers.
    AdxState<double> s = state;
    const auto p = parameters;
    const double bar[] = {high[0], low[0], close[0]};
    const AdxKernel<OneLane, Directional> kernel(p);
    out.put(0, s.bars == 0 ? kernel.first(s, bar) : kernel.step(s, bar));
    if (const AdxRun run = adx_run(); run != nullptr) {
        adx_run_through<Directional>(out, s, p, run, high, low, close);
    } else {
        adx_serial<Directional>(out, s, p, high, low, close);
    }
    s.high = high[n - 1];
    s.low = low[n - 1];
    s.close = close[n - 1];
    s.bars += n;
    state = s;
}

} // namespace tarnwick::TARNWICK_TARGET
