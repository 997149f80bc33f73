// SPDX-License-Identifier: MIT
// Two-lane double arithmetic for per-bar work that has no dependency between
// bars. Every lane does exactly what the scalar expression does (IEEE
// subtraction, product and quotient, comparisons that are false for NaN,
// sign-bit clearing for abs, a bitwise select), so a pair of bars gives the
// same bits as two scalar bars.
//
// One small interface, three implementations: SSE2 intrinsics on x86 and
// x86-64, NEON on aarch64, and plain scalar code elsewhere. Defining
// TARNWICK_SCALAR_LANES forces the scalar one, so that it can be checked
// against the others on any machine.
#pragma once

#include "ieee_double.hpp"
#include "lane_ops.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>

#if !defined(TARNWICK_SCALAR_LANES)
#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define TARNWICK_LANES_SSE2 1
#include <emmintrin.h>
#elif defined(__aarch64__) || defined(_M_ARM64)
#define TARNWICK_LANES_NEON 1
#include <arm_neon.h>
#endif
#endif

namespace tarnwick::TARNWICK_TARGET::lanes {

// Reference implementation: each lane is the scalar expression itself.
namespace scalar {

struct f64x2 {
    double lane[2];
};
struct mask2 {
    bool lane[2];
};

[[nodiscard]] inline f64x2 load(const double* p) noexcept {
    return {{p[0], p[1]}};
}
inline void store(double* p, f64x2 a) noexcept {
    p[0] = a.lane[0];
    p[1] = a.lane[1];
}
[[nodiscard]] inline f64x2 pair(double first, double second) noexcept {
    return {{first, second}};
}
[[nodiscard]] inline double first_lane(f64x2 a) noexcept {
    return a.lane[0];
}
[[nodiscard]] inline double second_lane(f64x2 a) noexcept {
    return a.lane[1];
}
[[nodiscard]] inline f64x2 operator+(f64x2 a, f64x2 b) noexcept {
    return {{a.lane[0] + b.lane[0], a.lane[1] + b.lane[1]}};
}
[[nodiscard]] inline f64x2 operator-(f64x2 a, f64x2 b) noexcept {
    return {{a.lane[0] - b.lane[0], a.lane[1] - b.lane[1]}};
}
[[nodiscard]] inline f64x2 operator*(f64x2 a, f64x2 b) noexcept {
    return {{a.lane[0] * b.lane[0], a.lane[1] * b.lane[1]}};
}
[[nodiscard]] inline f64x2 operator/(f64x2 a, f64x2 b) noexcept {
    return {{a.lane[0] / b.lane[0], a.lane[1] / b.lane[1]}};
}
[[nodiscard]] inline mask2 operator<(f64x2 a, f64x2 b) noexcept {
    return {{a.lane[0] < b.lane[0], a.lane[1] < b.lane[1]}};
}
[[nodiscard]] inline mask2 operator&(mask2 a, mask2 b) noexcept {
    return {{a.lane[0] && b.lane[0], a.lane[1] && b.lane[1]}};
}
[[nodiscard]] inline mask2 operator!=(mask2 a, mask2 b) noexcept {
    return {{a.lane[0] != b.lane[0], a.lane[1] != b.lane[1]}};
}
[[nodiscard]] inline mask2 is_nan(f64x2 a) noexcept {
    return {{a.lane[0] != a.lane[0], a.lane[1] != a.lane[1]}};
}
[[nodiscard]] inline f64x2 select(mask2 m, f64x2 yes, f64x2 no) noexcept {
    return {{m.lane[0] ? yes.lane[0] : no.lane[0], m.lane[1] ? yes.lane[1] : no.lane[1]}};
}
[[nodiscard]] inline double magnitude(double x) noexcept {
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(x) & ~(std::uint64_t{1} << 63));
}
[[nodiscard]] inline f64x2 abs(f64x2 a) noexcept {
    return {{magnitude(a.lane[0]), magnitude(a.lane[1])}};
}

} // namespace scalar

#if defined(TARNWICK_LANES_SSE2)
namespace sse2 {

struct f64x2 {
    __m128d v;
};
struct mask2 {
    __m128d v;
};

[[nodiscard]] inline f64x2 load(const double* p) noexcept {
    return {_mm_loadu_pd(p)};
}
inline void store(double* p, f64x2 a) noexcept {
    _mm_storeu_pd(p, a.v);
}
[[nodiscard]] inline f64x2 pair(double first, double second) noexcept {
    return {_mm_set_pd(second, first)};
}
[[nodiscard]] inline double first_lane(f64x2 a) noexcept {
    return _mm_cvtsd_f64(a.v);
}
[[nodiscard]] inline double second_lane(f64x2 a) noexcept {
    return _mm_cvtsd_f64(_mm_unpackhi_pd(a.v, a.v));
}
[[nodiscard]] inline f64x2 operator+(f64x2 a, f64x2 b) noexcept {
    return {_mm_add_pd(a.v, b.v)};
}
[[nodiscard]] inline f64x2 operator-(f64x2 a, f64x2 b) noexcept {
    return {_mm_sub_pd(a.v, b.v)};
}
[[nodiscard]] inline f64x2 operator*(f64x2 a, f64x2 b) noexcept {
    return {_mm_mul_pd(a.v, b.v)};
}
[[nodiscard]] inline f64x2 operator/(f64x2 a, f64x2 b) noexcept {
    return {_mm_div_pd(a.v, b.v)};
}
// The ordered comparison: false when either lane operand is NaN.
[[nodiscard]] inline mask2 operator<(f64x2 a, f64x2 b) noexcept {
    return {_mm_cmplt_pd(a.v, b.v)};
}
[[nodiscard]] inline mask2 operator&(mask2 a, mask2 b) noexcept {
    return {_mm_and_pd(a.v, b.v)};
}
[[nodiscard]] inline mask2 operator!=(mask2 a, mask2 b) noexcept {
    return {_mm_xor_pd(a.v, b.v)};
}
[[nodiscard]] inline mask2 is_nan(f64x2 a) noexcept {
    return {_mm_cmpunord_pd(a.v, a.v)};
}
[[nodiscard]] inline f64x2 select(mask2 m, f64x2 yes, f64x2 no) noexcept {
    return {_mm_or_pd(_mm_and_pd(m.v, yes.v), _mm_andnot_pd(m.v, no.v))};
}
[[nodiscard]] inline f64x2 abs(f64x2 a) noexcept {
    return {_mm_andnot_pd(_mm_set1_pd(-0.0), a.v)};
}

} // namespace sse2
#endif

#if defined(TARNWICK_LANES_NEON)
namespace neon {

struct f64x2 {
    float64x2_t v;
};
struct mask2 {
    uint64x2_t v;
};

[[nodiscard]] inline f64x2 load(const double* p) noexcept {
    return {vld1q_f64(p)};
}
inline void store(double* p, f64x2 a) noexcept {
    vst1q_f64(p, a.v);
}
[[nodiscard]] inline f64x2 pair(double first, double second) noexcept {
    const double both[2] = {first, second};
    return {vld1q_f64(both)};
}
[[nodiscard]] inline double first_lane(f64x2 a) noexcept {
    return vgetq_lane_f64(a.v, 0);
}
[[nodiscard]] inline double second_lane(f64x2 a) noexcept {
    return vgetq_lane_f64(a.v, 1);
}
[[nodiscard]] inline f64x2 operator+(f64x2 a, f64x2 b) noexcept {
    return {vaddq_f64(a.v, b.v)};
}
[[nodiscard]] inline f64x2 operator-(f64x2 a, f64x2 b) noexcept {
    return {vsubq_f64(a.v, b.v)};
}
[[nodiscard]] inline f64x2 operator*(f64x2 a, f64x2 b) noexcept {
    return {vmulq_f64(a.v, b.v)};
}
[[nodiscard]] inline f64x2 operator/(f64x2 a, f64x2 b) noexcept {
    return {vdivq_f64(a.v, b.v)};
}
// FCMGT: false when either lane operand is NaN.
[[nodiscard]] inline mask2 operator<(f64x2 a, f64x2 b) noexcept {
    return {vcltq_f64(a.v, b.v)};
}
[[nodiscard]] inline mask2 operator&(mask2 a, mask2 b) noexcept {
    return {vandq_u64(a.v, b.v)};
}
[[nodiscard]] inline mask2 operator!=(mask2 a, mask2 b) noexcept {
    return {veorq_u64(a.v, b.v)};
}
[[nodiscard]] inline mask2 is_nan(f64x2 a) noexcept {
    return {veorq_u64(vceqq_f64(a.v, a.v), vdupq_n_u64(~std::uint64_t{0}))};
}
[[nodiscard]] inline f64x2 select(mask2 m, f64x2 yes, f64x2 no) noexcept {
    return {vbslq_f64(m.v, yes.v, no.v)};
}
[[nodiscard]] inline f64x2 abs(f64x2 a) noexcept {
    const uint64x2_t sign = vdupq_n_u64(std::uint64_t{1} << 63);
    return {vreinterpretq_f64_u64(vbicq_u64(vreinterpretq_u64_f64(a.v), sign))};
}

} // namespace neon
#endif

// The implementation this build uses.
#if defined(TARNWICK_LANES_SSE2)
namespace native = sse2;
#elif defined(TARNWICK_LANES_NEON)
namespace native = neon;
#else
namespace native = scalar;
#endif

using namespace native;

[[nodiscard]] inline f64x2 broadcast(double x) noexcept {
    return pair(x, x);
}

// The two lanes as a lane set of lane_ops.hpp.
struct PairLanes {
    using V = f64x2;
    static constexpr std::size_t width = 2;
    TARNWICK_LANE_INLINE static V load(const double* p) noexcept { return lanes::load(p); }
    TARNWICK_LANE_INLINE static void store(double* p, V a) noexcept { lanes::store(p, a); }
    TARNWICK_LANE_INLINE static V splat(double x) noexcept { return broadcast(x); }
    TARNWICK_LANE_INLINE static void transpose(V* square) noexcept {
        const V first = square[0];
        square[0] = pair(first_lane(first), first_lane(square[1]));
        square[1] = pair(second_lane(first), second_lane(square[1]));
    }
};

} // namespace tarnwick::TARNWICK_TARGET::lanes
