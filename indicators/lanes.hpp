// SPDX-License-Identifier: MIT
// Two-lane double arithmetic for per-bar work that has no dependency between
// bars. Every lane does exactly what the scalar expression does (IEEE
// subtraction, comparisons that are false for NaN, sign-bit clearing), so a
// pair of bars gives the same bits as two scalar bars. Built on the compiler's
// vector extension, which lowers to SSE2 on x86-64 and NEON on aarch64.
#pragma once

#include "nan_ignoring.hpp"

#include <cstdint>
#include <cstring>

namespace tarnwick::lanes {

using f64x2 = double __attribute__((vector_size(16)));
using mask2 = std::int64_t __attribute__((vector_size(16)));

[[nodiscard]] inline f64x2 load(const double* p) noexcept {
    f64x2 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store(double* p, f64x2 v) noexcept {
    std::memcpy(p, &v, sizeof v);
}

[[nodiscard]] inline f64x2 broadcast(double x) noexcept {
    return f64x2{x, x};
}

// Lane by lane: `yes` where the mask is set, otherwise `no`.
[[nodiscard]] inline f64x2 select(mask2 mask, f64x2 yes, f64x2 no) noexcept {
    const mask2 bits =
        (mask & reinterpret_cast<mask2>(yes)) | (~mask & reinterpret_cast<mask2>(no));
    return reinterpret_cast<f64x2>(bits);
}

[[nodiscard]] inline f64x2 abs(f64x2 v) noexcept {
    const mask2 magnitude = {INT64_MAX, INT64_MAX};
    return reinterpret_cast<f64x2>(reinterpret_cast<mask2>(v) & magnitude);
}

// The lane-wise form of nan_ignoring_max.
[[nodiscard]] inline f64x2 nan_ignoring_max(f64x2 a, f64x2 b) noexcept {
    return select(b != b, a, select(a > b, a, b));
}

} // namespace tarnwick::lanes
