// SPDX-License-Identifier: MIT
// Four rows at once in AVX2 registers. Built with -mavx2 alone (no FMA, and
// no contraction in any case) and run only where the processor has AVX2.
// Empty when built without them (a build that names every kernel source
// with no per-file flags): the processor check then never chooses it.
#define TARNWICK_TARGET avx2
#if defined(__AVX2__)
#include "lane_kernels.hpp"
#include "sar_chunks.hpp"

#include <immintrin.h>

namespace tarnwick::avx2 {

namespace {

struct Avx2 {
    using Reg = __m256d;
    using MaskReg = __m256d;
    static constexpr std::size_t width = 4;
    TARNWICK_LANE_INLINE static Reg add(Reg a, Reg b) noexcept { return _mm256_add_pd(a, b); }
    TARNWICK_LANE_INLINE static Reg sub(Reg a, Reg b) noexcept { return _mm256_sub_pd(a, b); }
    TARNWICK_LANE_INLINE static Reg mul(Reg a, Reg b) noexcept { return _mm256_mul_pd(a, b); }
    TARNWICK_LANE_INLINE static Reg div(Reg a, Reg b) noexcept { return _mm256_div_pd(a, b); }
    TARNWICK_LANE_INLINE static MaskReg less(Reg a, Reg b) noexcept {
        return _mm256_cmp_pd(a, b, _CMP_LT_OQ);
    }
    TARNWICK_LANE_INLINE static MaskReg both(MaskReg a, MaskReg b) noexcept {
        return _mm256_and_pd(a, b);
    }
    TARNWICK_LANE_INLINE static MaskReg differ(MaskReg a, MaskReg b) noexcept {
        return _mm256_xor_pd(a, b);
    }
    TARNWICK_LANE_INLINE static MaskReg unordered(Reg a) noexcept {
        return _mm256_cmp_pd(a, a, _CMP_UNORD_Q);
    }
    TARNWICK_LANE_INLINE static Reg blend(MaskReg m, Reg yes, Reg no) noexcept {
        return _mm256_blendv_pd(no, yes, m);
    }
    TARNWICK_LANE_INLINE static Reg magnitude(Reg a) noexcept {
        return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a);
    }
    // a < b ? a : b and a > b ? a : b, b for equal operands or a NaN.
    TARNWICK_LANE_INLINE static Reg min(Reg a, Reg b) noexcept { return _mm256_min_pd(a, b); }
    TARNWICK_LANE_INLINE static Reg max(Reg a, Reg b) noexcept { return _mm256_max_pd(a, b); }
    TARNWICK_LANE_INLINE static Reg load(const double* p) noexcept { return _mm256_loadu_pd(p); }
    TARNWICK_LANE_INLINE static void store(double* p, Reg a) noexcept { _mm256_storeu_pd(p, a); }
    TARNWICK_LANE_INLINE static Reg splat(double x) noexcept { return _mm256_set1_pd(x); }
    TARNWICK_LANE_INLINE static void transpose(Reg* r) noexcept {
        const __m256d t0 = _mm256_unpacklo_pd(r[0], r[1]); // r0[0] r1[0] r0[2] r1[2]
        const __m256d t1 = _mm256_unpackhi_pd(r[0], r[1]); // r0[1] r1[1] r0[3] r1[3]
        const __m256d t2 = _mm256_unpacklo_pd(r[2], r[3]);
        const __m256d t3 = _mm256_unpackhi_pd(r[2], r[3]);
        r[0] = _mm256_permute2f128_pd(t0, t2, 0x20);
        r[1] = _mm256_permute2f128_pd(t1, t3, 0x20);
        r[2] = _mm256_permute2f128_pd(t0, t2, 0x31);
        r[3] = _mm256_permute2f128_pd(t1, t3, 0x31);
    }
};

} // namespace

} // namespace tarnwick::avx2

namespace tarnwick {

extern const LaneKernels avx2_lane_kernels =
    avx2::lane_kernels_of<avx2::RegisterLanes<avx2::Avx2>, 2>(avx2::ArrayCatalogue{});

// One long series' stops in four chunks side by side. The AVX-512 path takes
// them too: eight lanes measured no faster, the stop's serial chain no
// shorter and twice the chunks to meet.
extern const SarRun avx2_sar_run = &avx2::sar_run_in<avx2::RegisterLanes<avx2::Avx2>>;

} // namespace tarnwick

#endif
