// SPDX-License-Identifier: MIT
// Eight rows at once in AVX-512 registers. Built with -mavx512f and FMA
// turned off (no contraction in any case), run only where the processor has
// AVX-512F.
// Empty when built without them (a build that names every kernel source
// with no per-file flags): the processor check then never chooses it.
#if defined(__AVX512F__)
#include "lane_kernels.hpp"

#include <immintrin.h>

namespace tarnwick {

namespace {

struct Lane {
    __m512d v;
};
struct Mask {
    __mmask8 m;
};

[[nodiscard]] Lane operator+(Lane a, Lane b) noexcept {
    return {_mm512_add_pd(a.v, b.v)};
}
[[nodiscard]] Lane operator-(Lane a, Lane b) noexcept {
    return {_mm512_sub_pd(a.v, b.v)};
}
[[nodiscard]] Lane operator*(Lane a, Lane b) noexcept {
    return {_mm512_mul_pd(a.v, b.v)};
}
[[nodiscard]] Lane operator/(Lane a, Lane b) noexcept {
    return {_mm512_div_pd(a.v, b.v)};
}
// Ordered and quiet: false when either operand is NaN, as the scalar <.
[[nodiscard]] Mask operator<(Lane a, Lane b) noexcept {
    return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_LT_OQ)};
}
[[nodiscard]] Mask operator&(Mask a, Mask b) noexcept {
    return {static_cast<__mmask8>(a.m & b.m)};
}
[[nodiscard]] Mask is_nan(Lane a) noexcept {
    return {_mm512_cmp_pd_mask(a.v, a.v, _CMP_UNORD_Q)};
}
[[nodiscard]] Lane select(Mask m, Lane yes, Lane no) noexcept {
    return {_mm512_mask_blend_pd(m.m, no.v, yes.v)};
}
[[nodiscard]] Lane abs(Lane a) noexcept {
    const __m512i magnitude = _mm512_set1_epi64(0x7fffffffffffffff);
    return {_mm512_castsi512_pd(_mm512_and_epi64(_mm512_castpd_si512(a.v), magnitude))};
}

struct Avx512Lanes {
    using V = Lane;
    static constexpr std::size_t width = 8;
    [[nodiscard]] static V load(const double* p) noexcept { return {_mm512_loadu_pd(p)}; }
    static void store(double* p, V a) noexcept { _mm512_storeu_pd(p, a.v); }
    [[nodiscard]] static V splat(double x) noexcept { return {_mm512_set1_pd(x)}; }
};

} // namespace

extern const LaneKernels avx512_lane_kernels = lane_rows::Entries<Avx512Lanes>::kernels;

} // namespace tarnwick

#endif
