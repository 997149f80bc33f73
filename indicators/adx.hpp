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
// other algebraic form), because callers compare results bit for bit.
#pragma once

#include "kernel_error.hpp"

#include <cstdint>
#include <span>

namespace tarnwick {

// Refuses series of different lengths, then a period of 0.
[[nodiscard]] KernelResult compute_adx(std::span<const double> high, std::span<const double> low,
                                       std::span<const double> close,
                                       std::uint64_t period) noexcept;

} // namespace tarnwick
