// SPDX-License-Identifier: MIT
// The divisions of one ADX series 8 bars at a time in AVX-512 registers. Built
// with -mavx512f and no FMA, chosen only where the processor has it
// (rows.hpp); null when built without it.
#define TARNWICK_TARGET avx512
#include "adx.hpp"

#if defined(__AVX512F__) && defined(__GNUC__)
#include "adx_blocked.hpp"
#include "vector_lanes.hpp"

namespace tarnwick {
extern const AdxRun avx512_adx_run = &avx512::adx_run_in<avx512::VectorLanes<8>>;
} // namespace tarnwick
#else
namespace tarnwick {
extern const AdxRun avx512_adx_run = nullptr;
} // namespace tarnwick
#endif
