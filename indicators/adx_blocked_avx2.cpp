// SPDX-License-Identifier: MIT
// The divisions of one ADX series 4 bars at a time in AVX2 registers. Built
// with -mavx2 and no FMA, chosen only where the processor has it
// (rows.hpp); null when built without it.
#define TARNWICK_TARGET avx2
#include "adx.hpp"

#if defined(__AVX2__) && defined(__GNUC__)
#include "adx_blocked.hpp"
#include "vector_lanes.hpp"

namespace tarnwick {
extern const AdxRun avx2_adx_run = &avx2::adx_run_in<avx2::VectorLanes<4>>;
} // namespace tarnwick
#else
namespace tarnwick {
extern const AdxRun avx2_adx_run = nullptr;
} // namespace tarnwick
#endif
