// SPDX-License-Identifier: MIT
#include "parabolic_sar.hpp"

#include "nan_ignoring.hpp"

#include <cstddef>

namespace tarnwick {

namespace {

constexpr double min_af_start = 1e-6;

} // namespace

KernelResult compute_parabolic_sar(std::span<const double> high, std::span<const double> low,
                                   double af_step, double af_max) noexcept {
    if (high.size() != low.size()) {
        return KernelError::sar_lengths_differ;
    }
    const std::size_t n = high.size();
    if (n == 0) {
        return FloatSeries{};
    }
    FloatSeries out = FloatSeries::uninitialized(n);
    out[0] = low[0];

    // A NaN af_step fails the comparison and starts at the floor too.
    const double af_start = af_step > min_af_start ? af_step : min_af_start;
    bool up = true;
    double sar = low[0];
    double ep = high[0];
    double af = af_start;
    for (std::size_t i = 1; i < n; ++i) {
        const double c = (ep - sar) * af + sar;
        const double s = up ? nan_ignoring_min(c, low[i - 1]) : nan_ignoring_max(c, high[i - 1]);
        if (up ? s > low[i] : high[i] > s) {
            out[i] = ep;
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
        out[i] = s;
        sar = s;
    }
    return out;
}

} // namespace tarnwick
