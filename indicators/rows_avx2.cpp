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

[[nodiscard]] Lane operator+(Lane a, Lane b) noexcept {
    return {_mm256_add_pd(a.v, b.v)};
}
[[nodiscard]] Lane operator-(Lane a, Lane b) noexcept {
    return {_mm256_sub_pd(a.v, b.v)};
}
[[nodiscard]] Lane operator*(Lane a, Lane b) noexcept {
    return {_mm256_mul_pd(a.v, b.v)};
}
[[nodiscard]] Lane operator/(Lane a, Lane b) noexcept {
    return {_mm256_div_pd(a.v, b.v)};
}
// Ordered and quiet: false when either operand is NaN, as the scalar <.
[[nodiscard]] Mask operator<(Lane a, Lane b) noexcept {
    return {_mm256_cmp_pd(a.v, b.v, _CMP_LT_OQ)};
}
[[nodiscard]] Mask operator&(Mask a, Mask b) noexcept {
    return {_mm256_and_pd(a.v, b.v)};
}
[[nodiscard]] Mask is_nan(Lane a) noexcept {
    return {_mm256_cmp_pd(a.v, a.v, _CMP_UNORD_Q)};
}
[[nodiscard]] Lane select(Mask m, Lane yes, Lane no) noexcept {
    return {_mm256_blendv_pd(no.v, yes.v, m.v)};
}
[[nodiscard]] Lane abs(Lane a) noexcept {
    return {_mm256_andnot_pd(_mm256_set1_pd(-0.0), a.v)};
}

struct Avx2Lanes {
    using V = Lane;
    static constexpr std::size_t width = 4;
    [[nodiscard]] static V load(const double* p) noexcept { return {_mm256_loadu_pd(p)}; }
    static void store(double* p, V a) noexcept { _mm256_storeu_pd(p, a.v); }
    [[nodiscard]] static V splat(double x) noexcept { return {_mm256_set1_pd(x)}; }
};

} // namespace

extern const LaneKernels avx2_lane_kernels = lane_rows::Entries<Avx2Lanes>::kernels;

} // namespace tarnwick

#endif
