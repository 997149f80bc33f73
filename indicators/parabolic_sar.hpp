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
// The recurrence lives in a SarState, so that a series can be continued a
// bar at a time (sar_step) or many bars at a time (sar_extend) from where it
// stopped, with the same bits as one pass over the whole series.
#pragma once

#include "ieee_double.hpp"
#include "kernel_error.hpp"
#include "lanes.hpp"
#include "nan_ignoring.hpp"
#include "reachable.hpp"
#include "series_output.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

namespace tarnwick {

// The factor each trend starts with: af_step, or 1e-6 if af_step is smaller
// or NaN.
[[nodiscard]] double sar_start_factor(double af_step) noexcept;

// The factor after a bar: min(af + af_step, af_max), NaN-ignoring, where
// `beyond` is set (the bar made a new extreme), otherwise af unchanged.
[[nodiscard]] inline double factor_after(lanes::mask2 beyond, double af, double af_step,
                                         double af_max) noexcept {
    const double raised = nan_ignoring_min(af + af_step, af_max);
    return lanes::first_lane(lanes::select(beyond, lanes::broadcast(raised), lanes::broadcast(af)));
}

// The parameters of a stream of stops, with the factor each trend starts with.
struct SarParameters {
    double af_step;
    double af_max;
    double af_start;

    [[nodiscard]] static SarParameters of(double af_step, double af_max) noexcept {
        return {af_step, af_max, sar_start_factor(af_step)};
    }
};

// Everything the next bar depends on.
struct SarState {
    bool rising = true;
    double sar = 0.0;  // the previous bar's stop
    double ep = 0.0;   // the trend's extreme point
    double af = 0.0;   // the acceleration factor
    double high = 0.0; // the previous bar, once there is one
    double low = 0.0;
    std::uint64_t bars = 0; // bars seen

    // Whether a series can leave this state, `last` the value of its last
    // bar (NaN before the first): every bar's value is the stop it leaves.
    [[nodiscard]] bool reachable(double last) const noexcept {
        if (bars == 0) {
            return rising && positive_zero(sar) && positive_zero(ep) && positive_zero(af) &&
                   positive_zero(high) && positive_zero(low) && last != last;
        }
        return bars < most_bars && same_value(last, sar);
    }
};

// The first bar: its low is the stop, its high the extreme of a rising trend.
[[nodiscard]] inline double sar_begin(SarState& s, const SarParameters& p, double high,
                                      double low) noexcept {
    s.rising = true;
    s.sar = low;
    s.ep = high;
    s.af = p.af_start;
    return low;
}

// The stop a later bar steps to, limited by the previous bar's low (rising)
// or high (falling).
[[nodiscard]] inline double rising_stop(const SarState& s, double prev_low) noexcept {
    return nan_ignoring_min((s.ep - s.sar) * s.af + s.sar, prev_low);
}
[[nodiscard]] inline double falling_stop(const SarState& s, double prev_high) noexcept {
    return nan_ignoring_max((s.ep - s.sar) * s.af + s.sar, prev_high);
}

// A bar that keeps the trend: the factor and extreme follow a new extreme,
// and the stop is the bar's value, stored as the one quiet NaN if NaN.
[[nodiscard]] inline double rising_keeps(SarState& s, const SarParameters& p, double stop,
                                         double high) noexcept {
    s.af = factor_after(lanes::broadcast(s.ep) < lanes::broadcast(high), s.af, p.af_step, p.af_max);
    s.ep = high > s.ep ? high : s.ep;
    s.sar = stop;
    return stored(stop);
}
[[nodiscard]] inline double falling_keeps(SarState& s, const SarParameters& p, double stop,
                                          double low) noexcept {
    s.af = factor_after(lanes::broadcast(low) < lanes::broadcast(s.ep), s.af, p.af_step, p.af_max);
    s.ep = low < s.ep ? low : s.ep;
    s.sar = stop;
    return stored(stop);
}

// A reversal: the old extreme is the bar's value and becomes the stop, the
// bar's price the new extreme, and the factor starts again.
[[nodiscard]] inline double sar_reverse(SarState& s, const SarParameters& p,
                                        double new_extreme) noexcept {
    const double value = s.ep;
    s.rising = !s.rising;
    s.sar = s.ep;
    s.ep = new_extreme;
    s.af = p.af_start;
    return value;
}

// One bar: low[0] for the first bar of a series, then that bar's stop.
[[nodiscard]] inline double sar_step(SarState& s, const SarParameters& p, double high,
                                     double low) noexcept {
    double value;
    if (s.bars == 0) {
        value = sar_begin(s, p, high, low);
    } else if (s.rising) {
        const double stop = rising_stop(s, s.low);
        value = stop > low ? sar_reverse(s, p, low) : rising_keeps(s, p, stop, high);
    } else {
        const double stop = falling_stop(s, s.high);
        value = high > stop ? sar_reverse(s, p, high) : falling_keeps(s, p, stop, low);
    }
    s.high = high;
    s.low = low;
    ++s.bars;
    return value;
}

// Continues `state` over series of equal length: the values of as many
// sar_step calls, bit for bit, in one pass.
template <SeriesOutput Out>
void sar_extend(Out& out, SarState& state, const SarParameters& parameters,
                std::span<const double> high, std::span<const double> low) noexcept {
    const std::size_t n = high.size();
    out.start(n);
    if (n == 0) {
        return;
    }
    // Local copies, which stores into the output cannot alias, so that the
    // state and the parameters stay in registers.
    SarState s = state;
    const auto p = parameters;
    out.put(0, sar_step(s, p, high[0], low[0]));

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
                out.put(i, rising_keeps(s, p, stop, high[i]));
            }
            if (i < n) {
                out.put(i, sar_reverse(s, p, low[i]));
                ++i;
            }
        } else {
            for (; i < n; ++i) {
                const double stop = falling_stop(s, high[i - 1]);
                if (high[i] > stop) {
                    break;
                }
                out.put(i, falling_keeps(s, p, stop, low[i]));
            }
            if (i < n) {
                out.put(i, sar_reverse(s, p, high[i]));
                ++i;
            }
        }
    }
    s.high = high[n - 1];
    s.low = low[n - 1];
    s.bars += n - 1;
    state = s;
}

// Refuses series of different lengths.
template <SeriesOutput Out>
KernelStatus compute_parabolic_sar(Out& out, std::span<const double> high,
                                   std::span<const double> low, double af_step,
                                   double af_max) noexcept {
    if (high.size() != low.size()) {
        return KernelError::sar_lengths_differ;
    }
    SarState state;
    sar_extend(out, state, SarParameters::of(af_step, af_max), high, low);
    return KernelStatus::ok();
}

} // namespace tarnwick
