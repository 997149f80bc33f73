// SPDX-License-Identifier: MIT
// Parabolic Stop-and-Reverse.
//
// Starts in an up-trend with stop low[0], extreme ep = high[0] and factor
// af_start = af_step, floored at 1e-6. At each later bar the stop steps to
// c = (ep - sar) * af + sar, limited by the previous bar's low (up) or high
// (down) with a NaN-ignoring min or max. A bar whose low falls strictly below
// (up) or whose high rises strictly above (down) that stop reverses the trend:
// the old ep is reported and becomes the stop, the bar's price the new ep, and
// the factor restarts at af_start. Otherwise a strictly new extreme raises the
// factor to min(af + af_step, af_max), NaN-ignoring. Comparisons with NaN are
// false, so a NaN never reverses a trend or becomes an extreme. The step is a
// subtraction, a product and a sum, each rounded on its own.
//
// SarKernel is the step, written once over a lane type (lane_ops.hpp): the
// two branches' comparisons become one comparison of operands chosen by the
// trend, and a reversal selects its values over the kept trend's.
// sar_extend is a tuned one-series pass, proven equal to it bit for bit.
#pragma once

#include "ieee_double.hpp"
#include "lane_ops.hpp"
#include "lanes.hpp"
#include "nan_ignoring.hpp"
#include "reachable.hpp"
#include "series_output.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

namespace tarnwick {

// The parameters of a stream of stops, with the factor each trend starts with
// (sar_start_factor).
struct SarParameters {
    double af_step;
    double af_max;
    double af_start;
};

// The factor each trend starts with: af_step, or 1e-6 if af_step is smaller
// or NaN.
[[nodiscard]] double sar_start_factor(double af_step) noexcept;

template <class V, class M> struct SarState;

// The stops of bars 1 .. n - 1 of one long series in chunks stepped side by
// side (sar_chunks.hpp), into out[1 ..], from the state after bar 0, which
// it leaves after bar n - 1 but for its count of bars; false, with nothing
// done, when the memory for it cannot be had.
using SarRun = bool (*)(SarState<double, bool>& state, const SarParameters& p, const double* high,
                        const double* low, std::size_t n, double* out) noexcept;
// The widest lanes' run on this processor, or null where the lane path has
// none (the scalar path, two lanes, other processors).
[[nodiscard]] SarRun sar_run() noexcept;
// Series shorter than this take the one-series pass: the chunks' meeting
// costs a few hundred bars each.
inline constexpr std::size_t sar_chunked_from = std::size_t{1} << 13;

// Everything the next bar depends on, in each lane; `M` is the lanes' mask.
template <class V, class M> struct SarState {
    M rising{}; // the trend, once there is a bar
    V sar{};    // the previous bar's stop
    V ep{};     // the trend's extreme point
    V af{};     // the acceleration factor
    V high{};   // the previous bar, once there is one
    V low{};
    std::uint64_t bars = 0; // bars seen

    // Whether a series can leave this state (one lane), `last` the value of
    // its last bar (NaN before the first): every bar's value is the stop it
    // leaves. A fresh state's trend is set by its first bar, whatever it holds.
    [[nodiscard]] bool reachable(double last) const noexcept {
        if (bars == 0) {
            return positive_zero(sar) && positive_zero(ep) && positive_zero(af) &&
                   positive_zero(high) && positive_zero(low) && last != last;
        }
        return bars < most_bars && same_value(last, sar);
    }
};

} // namespace tarnwick

namespace tarnwick::TARNWICK_TARGET {

// The values of a bar as the trend gives them: the stop, then the state the
// next bar's stop is computed from: the trend (+1 rising, -1 falling), the
// extreme point (copied from the prices, stored as it came) and the factor
// (stored as the one quiet NaN if NaN).
template <class V> using TrendFields = Fields<V, 4>;

// `Trend` steps give TrendFields, others the stop alone.
template <class L, bool Trend = false> struct SarKernel {
    using V = typename L::V;
    using State = SarState<V, Mask<L>>;
    using Value = std::conditional_t<Trend, TrendFields<V>, V>;
    static constexpr std::size_t inputs = 2;

    // The bar's stop, with the state after it where asked for.
    TARNWICK_LANE_INLINE static Value value_of(const State& s, V stop) noexcept {
        if constexpr (Trend) {
            return {{stop, select(s.rising, L::splat(1.0), L::splat(-1.0)), s.ep,
                     stored_lanes<L>(s.af)}};
        } else {
            return stop;
        }
    }
    V af_step, af_max, af_start;

    explicit SarKernel(const SarParameters& p) noexcept
        : af_step(L::splat(p.af_step)), af_max(L::splat(p.af_max)), af_start(L::splat(p.af_start)) {
    }

    // The first bar: its low is the stop, its high the extreme of a rising
    // trend.
    TARNWICK_LANE_INLINE Value first(State& s, const V* bar) const noexcept {
        s.high = bar[0];
        s.low = bar[1];
        s.rising = L::splat(0.0) < L::splat(1.0);
        s.sar = s.low;
        s.ep = s.high;
        s.af = af_start;
        return value_of(s, s.low);
    }
    TARNWICK_LANE_INLINE Value step(State& s, const V* bar) const noexcept {
        const V h = bar[0];
        const V l = bar[1];
        const auto rising = s.rising;
        const V next = (s.ep - s.sar) * s.af + s.sar;
        const V stop = select(rising, nan_ignoring_min_lanes(next, s.low),
                              nan_ignoring_max_lanes(next, s.high));
        // Rising: low < stop reverses, a high above ep is a new extreme;
        // falling: stop < high, and a low below ep.
        const auto reverse = select(rising, l, stop) < select(rising, stop, h);
        const auto beyond = select(rising, s.ep, l) < select(rising, h, s.ep);
        const V raised = nan_ignoring_min_lanes(s.af + af_step, af_max);
        const V result = select(reverse, s.ep, stored_lanes<L>(stop));
        const V kept_ep = select(beyond, select(rising, h, l), s.ep);
        const V kept_af = select(beyond, raised, s.af);
        s.sar = select(reverse, s.ep, stop);
        s.ep = select(reverse, select(rising, l, h), kept_ep);
        s.af = select(reverse, af_start, kept_af);
        s.rising = rising != reverse;
        s.high = h;
        s.low = l;
        return value_of(s, result);
    }
};

using SarSeriesState = SarKernel<OneLane>::State;

// The factor after a bar: min(af + af_step, af_max), NaN-ignoring, where
// `beyond` is set (the bar made a new extreme), otherwise af unchanged.
[[nodiscard]] inline double factor_after(lanes::mask2 beyond, double af, double af_step,
                                         double af_max) noexcept {
    const double raised = nan_ignoring_min(af + af_step, af_max);
    return lanes::first_lane(lanes::select(beyond, lanes::broadcast(raised), lanes::broadcast(af)));
}

// The stop a later bar steps to, limited by the previous bar's low (rising)
// or high (falling).
[[nodiscard]] inline double rising_stop(const SarSeriesState& s, double prev_low) noexcept {
    return nan_ignoring_min((s.ep - s.sar) * s.af + s.sar, prev_low);
}
[[nodiscard]] inline double falling_stop(const SarSeriesState& s, double prev_high) noexcept {
    return nan_ignoring_max((s.ep - s.sar) * s.af + s.sar, prev_high);
}

// A bar that keeps the trend: the factor and extreme follow a new extreme,
// and the stop is the bar's value, stored as the one quiet NaN if NaN.
[[nodiscard]] inline double rising_keeps(SarSeriesState& s, const SarParameters& p, double stop,
                                         double high) noexcept {
    s.af = factor_after(lanes::broadcast(s.ep) < lanes::broadcast(high), s.af, p.af_step, p.af_max);
    s.ep = high > s.ep ? high : s.ep;
    s.sar = stop;
    return stored(stop);
}
[[nodiscard]] inline double falling_keeps(SarSeriesState& s, const SarParameters& p, double stop,
                                          double low) noexcept {
    s.af = factor_after(lanes::broadcast(low) < lanes::broadcast(s.ep), s.af, p.af_step, p.af_max);
    s.ep = low < s.ep ? low : s.ep;
    s.sar = stop;
    return stored(stop);
}

// A reversal: the old extreme is the bar's value and becomes the stop, the
// bar's price the new extreme, and the factor starts again.
[[nodiscard]] inline double sar_reverse(SarSeriesState& s, const SarParameters& p,
                                        double new_extreme) noexcept {
    const double value = s.ep;
    s.rising = !s.rising;
    s.sar = s.ep;
    s.ep = new_extreme;
    s.af = p.af_start;
    return value;
}

// Continues `state` over series of equal length: the values of as many
// SarKernel<OneLane, Trend> steps, bit for bit, in one pass.
template <bool Trend = false, SeriesOutput Out>
void sar_extend(Out& out, SarSeriesState& state, const SarParameters& parameters,
                std::span<const double> high, std::span<const double> low) noexcept {
    const std::size_t n = high.size();
    out.start(n);
    if (n == 0) {
        return;
    }
    // Local copies, which stores into the output cannot alias, so that the
    // state and the parameters stay in registers.
    SarSeriesState s = state;
    const auto p = parameters;
    const double bar[] = {high[0], low[0]};
    const SarKernel<OneLane, Trend> kernel(p);
    out.put(0, s.bars == 0 ? kernel.first(s, bar) : kernel.step(s, bar));
    if constexpr (!Trend && PlacedOutput<Out>) {
        if (double* const places = out.places(0, 0); places != nullptr && n >= sar_chunked_from) {
            // A copy of its own, so that `s` never leaves this function and
            // stays in registers through the loop below.
            SarSeriesState chunked = s;
            if (const SarRun run = sar_run();
                run != nullptr && run(chunked, p, high.data(), low.data(), n, places)) {
                chunked.bars += n;
                state = chunked;
                return;
            }
        }
    }
    // Bar i's stop, with the state it left where asked for.
    const auto put = [&out, &s](std::size_t i, double stop) {
        out.put(i, SarKernel<OneLane, Trend>::value_of(s, stop));
    };

    // One loop per direction, each left at the bar that reverses the trend.
    // A new extreme is about as likely as not on any bar, so it is taken
    // without a branch, which would be mispredicted about as often: the
    // extreme as a maximum (minimum) instruction, the factor as a lane
    // select. Both depend on the bar and the previous extreme only, never on
    // the stop, so they run beside the stop's serial chain. A stop s is NaN
    // only when the step and its limit both are, and then s is the step: a
    // value this kernel computed, stored as the one quiet NaN. Stops and
    // extremes copied from the inputs are stored as they came.
    std::size_t i = 1;
    while (i < n) {
        if (s.rising) {
            for (; i < n; ++i) {
                const double stop = rising_stop(s, low[i - 1]);
                if (stop > low[i]) {
                    break;
                }
                const double value = rising_keeps(s, p, stop, high[i]);
                put(i, value);
            }
            if (i < n) {
                const double value = sar_reverse(s, p, low[i]);
                put(i, value);
                ++i;
            }
        } else {
            for (; i < n; ++i) {
                const double stop = falling_stop(s, high[i - 1]);
                if (high[i] > stop) {
                    break;
                }
                const double value = falling_keeps(s, p, stop, low[i]);
                put(i, value);
            }
            if (i < n) {
                const double value = sar_reverse(s, p, high[i]);
                put(i, value);
                ++i;
            }
        }
    }
    s.high = high[n - 1];
    s.low = low[n - 1];
    s.bars += n;
    state = s;
}

} // namespace tarnwick::TARNWICK_TARGET
