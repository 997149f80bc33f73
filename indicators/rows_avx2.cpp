// SPDX-License-Identifier: MIT
// Four rows at once in AVX2 registers. Built with -mavx2 alone (no FMA, and
// no contraction in any case) and run only where the processor has AVX2.
// Empty when built without them (a build that names every kernel source
// with no per-file flags): the processor check then never chooses it.
#if defined(__AVX2__)
#include "lane_kernels.hpp"

#include <immintrin.h>

namespace tarnwick {

namespace {

struct Lane {
    __m256d v;
};
struct Mask {
    __m256d v;
};

TARNWICK_LANE_INLINE Lane operator+(Lane a, Lane b) noexcept {
    return {_mm256_add_pd(a.v, b.v)};
}
TARNWICK_LANE_INLINE Lane operator-(Lane a, Lane b) noexcept {
    return {_mm256_sub_pd(a.v, b.v)};
}
TARNWICK_LANE_INLINE Lane operator*(Lane a, Lane b) noexcept {
    return {_mm256_mul_pd(a.v, b.v)};
}
TARNWICK_LANE_INLINE Lane operator/(Lane a, Lane b) noexcept {
    return {_mm256_div_pd(a.v, b.v)};
}
// Ordered and quiet: false when either operand is NaN, as the scalar <.
TARNWICK_LANE_INLINE Mask operator<(Lane a, Lane b) noexcept {
    return {_mm256_cmp_pd(a.v, b.v, _CMP_LT_OQ)};
}
TARNWICK_LANE_INLINE Mask operator&(Mask a, Mask b) noexcept {
    return {_mm256_and_pd(a.v, b.v)};
}
TARNWICK_LANE_INLINE Mask is_nan(Lane a) noexcept {
    return {_mm256_cmp_pd(a.v, a.v, _CMP_UNORD_Q)};
}
TARNWICK_LANE_INLINE Lane select(Mask m, Lane yes, Lane no) noexcept {
    return {_mm256_blendv_pd(no.v, yes.v, m.v)};
}
TARNWICK_LANE_INLINE Lane abs(Lane a) noexcept {
    return {_mm256_andnot_pd(_mm256_set1_pd(-0.0), a.v)};
}

struct Avx2Lanes {
    using V = Lane;
    static constexpr std::size_t width = 4;
    TARNWICK_LANE_INLINE static V load(const double* p) noexcept { return {_mm256_loadu_pd(p)}; }
    TARNWICK_LANE_INLINE static void store(double* p, V a) noexcept { _mm256_storeu_pd(p, a.v); }
    TARNWICK_LANE_INLINE static V splat(double x) noexcept { return {_mm256_set1_pd(x)}; }
    TARNWICK_LANE_INLINE static void transpose(V* r) noexcept {
        const __m256d t0 = _mm256_unpacklo_pd(r[0].v, r[1].v); // r0[0] r1[0] r0[2] r1[2]
        const __m256d t1 = _mm256_unpackhi_pd(r[0].v, r[1].v); // r0[1] r1[1] r0[3] r1[3]
        const __m256d t2 = _mm256_unpacklo_pd(r[2].v, r[3].v);
        const __m256d t3 = _mm256_unpackhi_pd(r[2].v, r[3].v);
        r[0].v = _mm256_permute2f128_pd(t0, t2, 0x20);
        r[1].v = _mm256_permute2f128_pd(t1, t3, 0x20);
        r[2].v = _mm256_permute2f128_pd(t0, t2, 0x31);
        r[3].v = _mm256_permute2f128_pd(t1, t3, 0x31);
    }
};

} // namespace

extern const LaneKernels avx2_lane_kernels = lane_rows::Entries<Avx2Lanes, 2>::kernels;

} // namespace tarnwick

#endif
