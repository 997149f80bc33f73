// SPDX-License-Identifier: MIT
// What the kernels assume of the arithmetic they are compiled with, checked
// where it can be, and the one NaN they store.
#pragma once

#include <bit>
#include <cfloat>
#include <cstdint>
#include <limits>

// Every operation must round to double on its own. x87 arithmetic (32-bit x86
// without SSE2) keeps intermediates in 80-bit registers and rounds them twice,
// which moves the last bit of ordinary results; no flag repairs that afterwards.
#if !defined(FLT_EVAL_METHOD)
#error "tarnwick: FLT_EVAL_METHOD is not defined; the kernels need plain double arithmetic"
#elif FLT_EVAL_METHOD != 0
#error                                                                                             \
    "tarnwick: floating-point expressions are not evaluated in their own type (FLT_EVAL_METHOD != 0); on 32-bit x86 build with SSE2 arithmetic (-msse2 -mfpmath=sse, or /arch:SSE2)"
#endif

static_assert(std::numeric_limits<double>::is_iec559 && sizeof(double) == 8,
              "tarnwick: the kernels need IEEE-754 binary64 doubles");

#if defined(_MSC_VER) && !defined(__clang__)
// Older MSVC releases may fuse a product and a sum under /fp:precise.
#pragma fp_contract(off)
#endif

namespace tarnwick {

// Python's float("nan"): positive, quiet, no payload.
inline constexpr double quiet_nan = std::bit_cast<double>(std::uint64_t{0x7ff8000000000000});

// The sign and payload of a NaN that arithmetic makes depend on the processor
// (negative on x86, positive on ARM) and, when both operands are NaN, on the
// operand order the compiler chose. Callers compare results bit for bit, so a
// computed value is stored through this and every NaN leaves as quiet_nan.
// Applied at the store, never to the value a recurrence carries forward, so it
// stays off the serial chain.
[[nodiscard]] constexpr double stored(double computed) noexcept {
    return computed != computed ? quiet_nan : computed;
}

} // namespace tarnwick
