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
#pragma once

#include "ieee_double.hpp"
#include "kernel_error.hpp"
#include "lanes.hpp"
#include "nan_ignoring.hpp"
#include "series_output.hpp"

#include <cstddef>
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

// Refuses series of different lengths.
template <SeriesOutput Out>
KernelStatus compute_parabolic_sar(Out& out, std::span<const double> high,
                                   std::span<const double> low, double af_step,
                                   double af_max) noexcept {
    if (high.size() != low.size()) {
        return KernelError::sar_lengths_differ;
    }
    const std::size_t n = high.size();
    out.start(n);
    if (n == 0) {
        return KernelStatus::ok();
    }
    out.put(0, low[0]);

    // One loop per direction, each left at the bar that reverses the trend.
    // A new extreme is about as likely as not on any bar, so it is taken
    // without a branch, which would be mispredicted about as often: the
    // extreme as a maximum (minimum) instruction, the factor as a lane
    // select. Both depend on the bar and the previous extreme only, never on
    // the stop, so they run beside the stop's serial chain. A stop s is NaN
    // only when the step and its limit both are, and then s is the step: a
    // value this kernel computed, stored as the one quiet NaN. Stops and
    // extremes copied from the inputs are stored as they came.
    const double af_start = sar_start_factor(af_step);
    double sar = low[0];
    double ep = high[0];
    double af = af_start;
    // At a reversal the old extreme is reported and becomes the stop, the
    // bar's price the new extreme, and the factor starts again.
    const auto reverse = [&](std::size_t at, double new_extreme) {
        out.put(at, ep);
        sar = ep;
        ep = new_extreme;
        af = af_start;
    };
    std::size_t i = 1;
    while (i < n) {
        for (; i < n; ++i) {
            const double s = nan_ignoring_min((ep - sar) * af + sar, low[i - 1]);
            if (s > low[i]) {
                break;
            }
            af =
                factor_after(lanes::broadcast(ep) < lanes::broadcast(high[i]), af, af_step, af_max);
            ep = high[i] > ep ? high[i] : ep;
            out.put(i, stored(s));
            sar = s;
        }
        if (i == n) {
            break;
        }
        reverse(i, low[i]);
        for (++i; i < n; ++i) {
            const double s = nan_ignoring_max((ep - sar) * af + sar, high[i - 1]);
            if (high[i] > s) {
                break;
            }
            af = factor_after(lanes::broadcast(low[i]) < lanes::broadcast(ep), af, af_step, af_max);
            ep = low[i] < ep ? low[i] : ep;
            out.put(i, stored(s));
            sar = s;
        }
        if (i == n) {
            break;
        }
        reverse(i, high[i]);
        ++i;
    }
    return KernelStatus::ok();
}

} // namespace tarnwick
