// SPDX-License-Identifier: MIT
#include "parabolic_sar.hpp"

#include "rows.hpp"

namespace tarnwick {

double sar_start_factor(double af_step) noexcept {
    constexpr double floor = 1e-6;
    // A NaN af_step fails the comparison and starts at the floor too.
    return af_step > floor ? af_step : floor;
}

#if defined(TARNWICK_ROWS_X86_64)
extern const SarRun avx2_sar_run;
#endif

SarRun sar_run() noexcept {
#if defined(TARNWICK_ROWS_X86_64)
    // The wider paths are only ever chosen where they were built.
    const LanePath path = lane_path();
    if (path == LanePath::avx512 || path == LanePath::avx2) {
        return avx2_sar_run;
    }
#endif
    return nullptr;
}

} // namespace tarnwick
