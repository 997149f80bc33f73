// SPDX-License-Identifier: MIT
// Eight rows at once in AVX-512 registers. Built with -mavx512f and FMA
// turned off (no contraction in any case), run only where the processor has
// AVX-512F.
// Empty when built without them (a build that names every kernel source
// with no per-file flags): the processor check then never chooses it.
#define TARNWICK_TARGET avx512
#if defined(__AVX512F__)
#include "lane_kernels.hpp"

// GCC 12 reports its own AVX-512 intrinsics' undefined inputs as maybe
// uninitialized (fixed in GCC 13).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

namespace tarnwick::avx512 {

namespace {

struct Avx512 {
    using Reg = __m512d;
    using MaskReg = __mmask8;
    static constexpr std::size_t width = 8;
    TARNWICK_LANE_INLINE static Reg add(Reg a, Reg b) noexcept { return _mm512_add_pd(a, b); }
    TARNWICK_LANE_INLINE static Reg sub(Reg a, Reg b) noexcept { return _mm512_sub_pd(a, b); }
    TARNWICK_LANE_INLINE static Reg mul(Reg a, Reg b) noexcept { return _mm512_mul_pd(a, b); }
    TARNWICK_LANE_INLINE static Reg div(Reg a, Reg b) noexcept { return _mm512_div_pd(a, b); }
    TARNWICK_LANE_INLINE static MaskReg less(Reg a, Reg b) noexcept {
        return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ);
    }
    TARNWICK_LANE_INLINE static MaskReg both(MaskReg a, MaskReg b) noexcept {
        return static_cast<MaskReg>(a & b);
    }
    TARNWICK_LANE_INLINE static MaskReg differ(MaskReg a, MaskReg b) noexcept {
        return static_cast<MaskReg>(a ^ b);
    }
    TARNWICK_LANE_INLINE static MaskReg unordered(Reg a) noexcept {
        return _mm512_cmp_pd_mask(a, a, _CMP_UNORD_Q);
    }
    TARNWICK_LANE_INLINE static Reg blend(MaskReg m, Reg yes, Reg no) noexcept {
        return _mm512_mask_blend_pd(m, no, yes);
    }
    TARNWICK_LANE_INLINE static Reg magnitude(Reg a) noexcept {
        const __m512i magnitude = _mm512_set1_epi64(0x7fffffffffffffff);
        return _mm512_castsi512_pd(_mm512_and_epi64(_mm512_castpd_si512(a), magnitude));
    }
    // a < b ? a : b and a > b ? a : b, b for equal operands or a NaN.
    TARNWICK_LANE_INLINE static Reg min(Reg a, Reg b) noexcept { return _mm512_min_pd(a, b); }
    TARNWICK_LANE_INLINE static Reg max(Reg a, Reg b) noexcept { return _mm512_max_pd(a, b); }
    TARNWICK_LANE_INLINE static Reg load(const double* p) noexcept { return _mm512_loadu_pd(p); }
    TARNWICK_LANE_INLINE static void store(double* p, Reg a) noexcept { _mm512_storeu_pd(p, a); }
    TARNWICK_LANE_INLINE static Reg splat(double x) noexcept { return _mm512_set1_pd(x); }
    // Pairs of rows interleaved, then pairs of 128-bit blocks gathered twice:
    // the blocks holding bars j and j + 4 of rows 0-3, then of all rows.
    TARNWICK_LANE_INLINE static void transpose(Reg* r) noexcept {
        __m512d t[8];
        for (int i = 0; i < 8; i += 2) {
            t[i] = _mm512_unpacklo_pd(r[i], r[i + 1]);     // bars 0 2 4 6 of rows i, i + 1
            t[i + 1] = _mm512_unpackhi_pd(r[i], r[i + 1]); // bars 1 3 5 7
        }
        __m512d u[8];
        for (int h = 0; h < 8; h += 4) {
            u[h] = _mm512_shuffle_f64x2(t[h], t[h + 2], 0x88);         // bars 0, 4
            u[h + 1] = _mm512_shuffle_f64x2(t[h], t[h + 2], 0xdd);     // bars 2, 6
            u[h + 2] = _mm512_shuffle_f64x2(t[h + 1], t[h + 3], 0x88); // bars 1, 5
            u[h + 3] = _mm512_shuffle_f64x2(t[h + 1], t[h + 3], 0xdd); // bars 3, 7
        }
        // u[q] and u[q + 4] hold, for rows 0-3 and 4-7, bars {0, 4}, {2, 6},
        // {1, 5}, {3, 7} for q = 0, 1, 2, 3.
        constexpr int low_bar[4] = {0, 2, 1, 3};
        for (int q = 0; q < 4; ++q) {
            r[low_bar[q]] = _mm512_shuffle_f64x2(u[q], u[q + 4], 0x88);
            r[low_bar[q] + 4] = _mm512_shuffle_f64x2(u[q], u[q + 4], 0xdd);
        }
    }
};

} // namespace

} // namespace tarnwick::avx512

namespace tarnwick {

extern const LaneKernels avx512_lane_kernels =
    avx512::lane_kernels_of<avx512::RegisterLanes<avx512::Avx512>, 2>(avx512::ArrayCatalogue{});

} // namespace tarnwick

#endif
