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
#include "nan_ignoring.hpp"
#include "series_output.hpp"

#include <cstddef>
#include <span>

namespace tarnwick {

// The factor each trend starts with: af_step, or 1e-6 if af_step is smaller
// or NaN.
[[nodiscard]] double sar_start_factor(double af_step) noexcept;

// Refuses series of different lengths.
template <SeriesOutput Out>
Refusal compute_parabolic_sar(Out& out, std::span<const double> high, std::span<const double> low,
                              double af_step, double af_max) noexcept {
    if (high.size() != low.size()) {
        return KernelError::sar_lengths_differ;
    }
    const std::size_t n = high.size();
    out.start(n);
    if (n == 0) {
        return {};
    }
    out.put(0, low[0]);

    const double af_start = sar_start_factor(af_step);
    bool up = true;
    double sar = low[0];
    double ep = high[0];
    double af = af_start;
    for (std::size_t i = 1; i < n; ++i) {
        const double c = (ep - sar) * af + sar;
        const double s = up ? nan_ignoring_min(c, low[i - 1]) : nan_ignoring_max(c, high[i - 1]);
        if (up ? s > low[i] : high[i] > s) {
            out.put(i, ep);
            sar = ep;
            ep = up ? low[i] : high[i];
            af = af_start;
            up = !up;
            continue;
        }
        const double extreme = up ? high[i] : low[i];
        if (up ? extreme > ep : extreme < ep) {
            af = nan_ignoring_min(af + af_step, af_max);
            ep = extreme;
        }
        // s is NaN only when the step c is NaN and the limit is too, and then
        // s is c: a value this kernel computed. Stops and extremes copied from
        // the inputs are stored as they came, NaN payload and all.
        out.put(i, stored(s));
        sar = s;
    }
    return {};
}

} // namespace tarnwick
