// SPDX-License-Identifier: MIT
#include "adx.hpp"

#include "adx_blocked.hpp"
#include "lanes.hpp"
#include "rows.hpp"

namespace tarnwick::TARNWICK_TARGET {

namespace {

void movement_scalar(std::span<const double> high, std::span<const double> low,
                     std::span<const double> close, std::size_t j, Movement out,
                     std::size_t at) noexcept {
    const BarMovement m = bar_movement(high[j], low[j], high[j - 1], low[j - 1], close[j - 1]);
    out.plus_dm[at] = m.plus_dm;
    out.minus_dm[at] = m.minus_dm;
    out.tr[at] = m.tr;
}

} // namespace

void adx_movement(std::span<const double> high, std::span<const double> low,
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
        store(out.tr + at, nan_ignoring_max_lanes(nan_ignoring_max_lanes(hl, hc), lc));
    }
    if (at < count) {
        movement_scalar(high, low, close, first + at, out, at);
    }
}

} // namespace tarnwick::TARNWICK_TARGET

namespace tarnwick {

#if defined(TARNWICK_ROWS_X86_64)
extern const AdxRun avx2_adx_run;
extern const AdxRun avx512_adx_run;
#endif

AdxRun adx_run() noexcept {
    const LanePath path = lane_path();
#if defined(TARNWICK_ROWS_X86_64)
    if (path == LanePath::avx512 || path == LanePath::avx2) {
        return path == LanePath::avx512 ? avx512_adx_run : avx2_adx_run;
    }
#endif
    // The wider paths are only ever chosen where they were built.
    return path == LanePath::scalar ? nullptr : &baseline::adx_run_in<baseline::lanes::PairLanes>;
}

} // namespace tarnwick
