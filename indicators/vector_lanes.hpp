// SPDX-License-Identifier: MIT
// N doubles in one of the compiler's vector types (GCC and Clang), for a
// translation unit built for a wider instruction set: each operation is the
// IEEE operation on every lane, a comparison gives a lane of all ones or all
// zeros, and select takes yes where it is all ones. Built with -mavx2 these
// are AVX2 instructions, with -mavx512f AVX-512 ones.
#pragma once

#include "exact_log.hpp"
#include "lane_ops.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tarnwick::TARNWICK_TARGET {

template <std::size_t N> struct VectorOps {
    typedef double Reg __attribute__((vector_size(8 * N)));
    typedef std::int64_t MaskReg __attribute__((vector_size(8 * N)));
    typedef std::uint64_t Bits __attribute__((vector_size(8 * N)));
    static constexpr std::size_t width = N;
    TARNWICK_LANE_INLINE static Reg add(Reg a, Reg b) noexcept { return a + b; }
    TARNWICK_LANE_INLINE static Reg sub(Reg a, Reg b) noexcept { return a - b; }
    TARNWICK_LANE_INLINE static Reg mul(Reg a, Reg b) noexcept { return a * b; }
    TARNWICK_LANE_INLINE static Reg div(Reg a, Reg b) noexcept { return a / b; }
    TARNWICK_LANE_INLINE static MaskReg less(Reg a, Reg b) noexcept { return a < b; }
    TARNWICK_LANE_INLINE static MaskReg both(MaskReg a, MaskReg b) noexcept { return a & b; }
    TARNWICK_LANE_INLINE static MaskReg differ(MaskReg a, MaskReg b) noexcept { return a ^ b; }
    TARNWICK_LANE_INLINE static MaskReg unordered(Reg a) noexcept { return a != a; }
    TARNWICK_LANE_INLINE static Reg blend(MaskReg m, Reg yes, Reg no) noexcept {
        return m ? yes : no;
    }
    TARNWICK_LANE_INLINE static Reg magnitude(Reg a) noexcept {
        return reinterpret_cast<Reg>(reinterpret_cast<Bits>(a) &
                                     ~(Bits{} + (std::uint64_t{1} << 63)));
    }
    TARNWICK_LANE_INLINE static Reg load(const double* p) noexcept {
        Reg r;
        std::memcpy(&r, p, sizeof r);
        return r;
    }
    TARNWICK_LANE_INLINE static void store(double* p, Reg a) noexcept {
        std::memcpy(p, &a, sizeof a);
    }
    TARNWICK_LANE_INLINE static Reg splat(double x) noexcept { return Reg{} + x; }
};

template <std::size_t N> using VectorLanes = RegisterLanes<VectorOps<N>>;

namespace exact_log_detail {

// The logarithm's integer steps on the same vectors' bits.
template <std::size_t N>
struct LogBits<Register<VectorOps<N>>> : WordSteps<typename VectorOps<N>::Bits> {
    using V = Register<VectorOps<N>>;
    using B = typename VectorOps<N>::Bits;
    static B bits(V x) noexcept { return reinterpret_cast<B>(x.v); }
    static V value(B b) noexcept { return {reinterpret_cast<typename VectorOps<N>::Reg>(b)}; }
};

} // namespace exact_log_detail

} // namespace tarnwick::TARNWICK_TARGET
