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

#include <bit>
#include <cstdint>
#include <limits>

namespace tarnwick {

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

} // namespace exact_log_detail

[[nodiscard]] inline double exact_log(double x) noexcept {
    namespace d = exact_log_detail;
    std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
    int k = 0;
    // Negative numbers (sign bit set), +inf and NaN all compare above the
    // largest finite positive pattern.
    if (bits >= 0x7ff0000000000000) {
        if (x != x || bits == 0x7ff0000000000000) {
            return x; // NaN stays NaN, log(+inf) = +inf
        }
        if (bits == 0x8000000000000000) {
            return -std::numeric_limits<double>::infinity(); // log(-0) = -inf
        }
        return quiet_nan;
    }
    if (bits < 0x0010000000000000) {
        if (bits == 0) {
            return -std::numeric_limits<double>::infinity();
        }
        // A subnormal: scaled into the normal range, exactly.
        x *= d::from_bits(0x4350000000000000); // 2^54
        bits = std::bit_cast<std::uint64_t>(x);
        k = -54;
    }
    // Mantissa bits of the high word, and whether the mantissa is at least
    // sqrt(2) (then 1 + f is halved and k raised by one).
    const std::uint64_t high = bits >> 32;
    const std::uint64_t mantissa_high = high & 0x000fffff;
    const std::uint64_t halve = (mantissa_high + 0x95f64) & 0x100000;
    k += static_cast<int>(high >> 20) - 1023 + static_cast<int>(halve >> 20);
    const std::uint64_t reduced_high = mantissa_high | (halve ^ 0x3ff00000);
    const double m = std::bit_cast<double>((reduced_high << 32) | (bits & 0xffffffff));
    const double f = m - 1.0;
    const double s = f / (2.0 + f);
    const double z = s * s;
    const double w = z * z;
    const double even = w * (d::lg2 + w * (d::lg4 + w * d::lg6));
    const double odd = z * (d::lg1 + w * (d::lg3 + w * (d::lg5 + w * d::lg7)));
    const double r = odd + even;
    const double hfsq = 0.5 * f * f;
    const double dk = static_cast<double>(k);
    return dk * d::ln2_hi + (f - (hfsq - (s * (hfsq + r) + dk * d::ln2_lo)));
}

} // namespace tarnwick
