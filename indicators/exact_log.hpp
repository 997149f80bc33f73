// SPDX-License-Identifier: MIT
// The natural logarithm from IEEE operations alone, so that a likelihood has
// the same bits on every platform and with every C library (whose log may
// differ in the last bit from one release or processor to the next).
//
// x = 2^k * (1 + f) with 1 + f in [sqrt(2)/2, sqrt(2)). With s = f / (2 + f),
// log(1 + f) = 2 atanh(s) = 2s + s * R(s^2), R a fixed polynomial (the
// minimax coefficients of the classic fdlibm reduction, |s| < 0.1716). The
// result is assembled as
//   k*ln2_hi + (f - (hfsq - (s*(hfsq + R) + k*ln2_lo))),  hfsq = f*f/2,
// where ln2_hi has its low bits zero, so k*ln2_hi is exact. The error is
// below one unit in the last place over the whole range, subnormals
// included (tests/test_garch_fit.py checks it against a 60-digit reference).
#pragma once

#include "ieee_double.hpp"
#include "lane_ops.hpp"

#include <bit>
#include <cstdint>
#include <limits>

namespace tarnwick::TARNWICK_TARGET {

namespace exact_log_detail {

constexpr double from_bits(std::uint64_t bits) noexcept {
    return std::bit_cast<double>(bits);
}

inline constexpr double ln2_hi = from_bits(0x3fe62e42fee00000);
inline constexpr double ln2_lo = from_bits(0x3dea39ef35793c76);
inline constexpr double lg1 = from_bits(0x3fe5555555555593);
inline constexpr double lg2 = from_bits(0x3fd999999997fa04);
inline constexpr double lg3 = from_bits(0x3fd2492494229359);
inline constexpr double lg4 = from_bits(0x3fcc71c51d8e78af);
inline constexpr double lg5 = from_bits(0x3fc7466496cb03de);
inline constexpr double lg6 = from_bits(0x3fc39a09d078c69f);
inline constexpr double lg7 = from_bits(0x3fc2f112df3e5244);

// The integer steps of the reduction on a value type's bit patterns: one
// unsigned 64-bit lane per double, the same operations on every lane.
template <class V> struct LogBits;

// The steps for a word type with the integer operators (std::uint64_t, or
// a compiler's vector of them).
template <class Word> struct WordSteps {
    using B = Word;
    static B splat(std::uint64_t b) noexcept { return B{} + b; }
    static B both(B a, B b) noexcept { return a & b; }
    static B either(B a, B b) noexcept { return a | b; }
    static B differ(B a, B b) noexcept { return a ^ b; }
    static B add(B a, B b) noexcept { return a + b; }
    static B exponent(B a) noexcept { return a >> 52; }
};

template <> struct LogBits<double> : WordSteps<std::uint64_t> {
    static B bits(double x) noexcept { return std::bit_cast<B>(x); }
    static double value(B b) noexcept { return std::bit_cast<double>(b); }
};

} // namespace exact_log_detail

// The logarithm of every lane of `x` (L a lane set of lane_ops.hpp), each
// lane the same operations as the scalar exact_log below, which is the
// one-lane case of it. Special values are the branches of the reduction made
// selects: log(+-0) = -inf, log of a negative number NaN, log(+inf) = +inf,
// NaN itself.
template <class L>
[[nodiscard]] TARNWICK_LANE_INLINE typename L::V exact_log_lanes(typename L::V x) noexcept {
    namespace d = exact_log_detail;
    using V = typename L::V;
    using Bits = d::LogBits<V>;
    const V zero = L::splat(0.0);
    // A subnormal (or a value the selects below replace) is scaled into the
    // normal range exactly, its exponent lowered by 54 to match.
    const auto tiny = x < L::splat(d::from_bits(0x0010000000000000));
    const V scaled = select(tiny, x * L::splat(d::from_bits(0x4350000000000000)), x); // 2^54
    const V bias = select(tiny, L::splat(1023.0 + 54.0), L::splat(1023.0));
    const auto bits = Bits::bits(scaled);
    // The high mantissa bits plus those of 2 - sqrt(2) carry into the
    // exponent's lowest bit exactly when the mantissa is at least sqrt(2):
    // 1 + f is then halved and the exponent raised by one.
    const auto halve = Bits::both(Bits::add(Bits::both(bits, Bits::splat(0x000fffff00000000)),
                                            Bits::splat(0x00095f6400000000)),
                                  Bits::splat(0x0010000000000000));
    const V m = Bits::value(Bits::either(Bits::both(bits, Bits::splat(0x000fffffffffffff)),
                                         Bits::differ(halve, Bits::splat(0x3ff0000000000000))));
    // The exponent field (at most 2047) as a double, exactly: the bits of
    // 2^52 + e, less 2^52.
    const V two52 = L::splat(d::from_bits(0x4330000000000000));
    const V field =
        Bits::value(Bits::either(Bits::exponent(Bits::add(bits, halve)), Bits::bits(two52)));
    const V dk = (field - two52) - bias;
    const V f = m - L::splat(1.0);
    const V s = f / (L::splat(2.0) + f);
    const V z = s * s;
    const V w = z * z;
    const V even = w * (L::splat(d::lg2) + w * (L::splat(d::lg4) + w * L::splat(d::lg6)));
    const V odd = z * (L::splat(d::lg1) +
                       w * (L::splat(d::lg3) + w * (L::splat(d::lg5) + w * L::splat(d::lg7))));
    const V r = odd + even;
    const V hfsq = L::splat(0.5) * f * f;
    const V log =
        dk * L::splat(d::ln2_hi) + (f - (hfsq - (s * (hfsq + r) + dk * L::splat(d::ln2_lo))));
    const V negative =
        select(x < zero, L::splat(quiet_nan), L::splat(-std::numeric_limits<double>::infinity()));
    const V finite = select(zero < x, log, negative);
    const V infinite = select(L::splat(std::numeric_limits<double>::max()) < x, x, finite);
    return select(is_nan(x), x, infinite);
}

// One double (a function of each instruction set's namespace, like the
// template it is made from, so that no build of it for wider instructions
// stands in for the baseline one).
[[nodiscard]] inline double exact_log(double x) noexcept {
    return exact_log_lanes<OneLane>(x);
}

} // namespace tarnwick::TARNWICK_TARGET

namespace tarnwick {

using TARNWICK_TARGET::exact_log;

} // namespace tarnwick
