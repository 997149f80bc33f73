// SPDX-License-Identifier: MIT
// The value types the kernels are written over. A lane set `L` has L::V, W =
// L::width doubles made by L::load and L::splat, written by L::store and
// turned from W rows of W bars into W bars of W rows by L::transpose, with
// +, -, *, / and <, & and != of masks, select, is_nan and abs, each one IEEE
// operation per lane. OneLane is the one-lane case, a plain double.
//
// Every translation unit compiles this code, and the kernels, in the
// namespace tarnwick::TARNWICK_TARGET: `baseline` unless the unit names its
// instruction set before any include. Code built for AVX2 is then never the
// copy of an inline function that a baseline caller links to.
#pragma once

#include "ieee_double.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>

#if !defined(TARNWICK_TARGET)
#define TARNWICK_TARGET baseline
#endif

// A lane operation is a few instructions on registers: left as a call, it
// would pass its vectors through memory on every bar.
#if defined(_MSC_VER) && !defined(__clang__)
#define TARNWICK_LANE_INLINE __forceinline
#else
#define TARNWICK_LANE_INLINE [[gnu::always_inline]] inline
#endif

namespace tarnwick::TARNWICK_TARGET {

// One double: a mask is a bool and select is the conditional operator.
struct OneLane {
    using V = double;
    static constexpr std::size_t width = 1;
    TARNWICK_LANE_INLINE static V load(const double* p) noexcept { return *p; }
    TARNWICK_LANE_INLINE static void store(double* p, V a) noexcept { *p = a; }
    TARNWICK_LANE_INLINE static V splat(double x) noexcept { return x; }
    TARNWICK_LANE_INLINE static void transpose(V*) noexcept {}
};
TARNWICK_LANE_INLINE bool is_nan(double x) noexcept {
    return x != x;
}
TARNWICK_LANE_INLINE double select(bool m, double yes, double no) noexcept {
    return m ? yes : no;
}
TARNWICK_LANE_INLINE double abs(double x) noexcept {
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(x) & ~(std::uint64_t{1} << 63));
}

template <class L> using Mask = decltype(typename L::V{} < typename L::V{});

// The operators of a register type from an instruction set's few intrinsics
// (`Ops`: add, sub, mul, div, less, both, differ, unordered, blend, magnitude,
// and load, store, splat, transpose over Ops::Reg), written once for them all.
template <class Ops> struct Register {
    typename Ops::Reg v;
};
template <class Ops> struct RegisterMask {
    typename Ops::MaskReg m;
};
template <class Ops>
TARNWICK_LANE_INLINE Register<Ops> operator+(Register<Ops> a, Register<Ops> b) noexcept {
    return {Ops::add(a.v, b.v)};
}
template <class Ops>
TARNWICK_LANE_INLINE Register<Ops> operator-(Register<Ops> a, Register<Ops> b) noexcept {
    return {Ops::sub(a.v, b.v)};
}
template <class Ops>
TARNWICK_LANE_INLINE Register<Ops> operator*(Register<Ops> a, Register<Ops> b) noexcept {
    return {Ops::mul(a.v, b.v)};
}
template <class Ops>
TARNWICK_LANE_INLINE Register<Ops> operator/(Register<Ops> a, Register<Ops> b) noexcept {
    return {Ops::div(a.v, b.v)};
}
// Ordered and quiet: false when either operand is NaN, as the scalar <.
template <class Ops>
TARNWICK_LANE_INLINE RegisterMask<Ops> operator<(Register<Ops> a, Register<Ops> b) noexcept {
    return {Ops::less(a.v, b.v)};
}
template <class Ops>
TARNWICK_LANE_INLINE RegisterMask<Ops> operator&(RegisterMask<Ops> a,
                                                 RegisterMask<Ops> b) noexcept {
    return {Ops::both(a.m, b.m)};
}
template <class Ops>
TARNWICK_LANE_INLINE RegisterMask<Ops> operator!=(RegisterMask<Ops> a,
                                                  RegisterMask<Ops> b) noexcept {
    return {Ops::differ(a.m, b.m)};
}
template <class Ops> TARNWICK_LANE_INLINE RegisterMask<Ops> is_nan(Register<Ops> a) noexcept {
    return {Ops::unordered(a.v)};
}
template <class Ops>
TARNWICK_LANE_INLINE Register<Ops> select(RegisterMask<Ops> m, Register<Ops> yes,
                                          Register<Ops> no) noexcept {
    return {Ops::blend(m.m, yes.v, no.v)};
}
template <class Ops> TARNWICK_LANE_INLINE Register<Ops> abs(Register<Ops> a) noexcept {
    return {Ops::magnitude(a.v)};
}

template <class Ops> struct RegisterLanes {
    using V = Register<Ops>;
    static constexpr std::size_t width = Ops::width;
    TARNWICK_LANE_INLINE static V load(const double* p) noexcept { return {Ops::load(p)}; }
    TARNWICK_LANE_INLINE static void store(double* p, V a) noexcept { Ops::store(p, a.v); }
    TARNWICK_LANE_INLINE static V splat(double x) noexcept { return {Ops::splat(x)}; }
    TARNWICK_LANE_INLINE static void transpose(V* r) noexcept {
        typename Ops::Reg square[width];
        for (std::size_t i = 0; i < width; ++i) {
            square[i] = r[i].v;
        }
        Ops::transpose(square);
        for (std::size_t i = 0; i < width; ++i) {
            r[i].v = square[i];
        }
    }
};

// G lane sets side by side as one of G * W lanes: each operation is the lane
// set's on each group in turn, so the G serial chains of a recurrence are
// independent and overlap in the processor, where one alone would wait on
// its own latency.
template <class L, std::size_t G> struct Group {
    using Lanes = typename L::V;
    struct V {
        Lanes g[G];
    };
    struct M {
        Mask<L> g[G];
    };
    static constexpr std::size_t width = G * L::width;

    TARNWICK_LANE_INLINE static V load(const double* p) noexcept {
        V r;
        for (std::size_t i = 0; i < G; ++i) {
            r.g[i] = L::load(p + i * L::width);
        }
        return r;
    }
    TARNWICK_LANE_INLINE static void store(double* p, V a) noexcept {
        for (std::size_t i = 0; i < G; ++i) {
            L::store(p + i * L::width, a.g[i]);
        }
    }
    TARNWICK_LANE_INLINE static V splat(double x) noexcept {
        V r;
        for (std::size_t i = 0; i < G; ++i) {
            r.g[i] = L::splat(x);
        }
        return r;
    }
    // A square of G * W rows of G * W bars is G x G squares of W x W: each
    // transposed, and put where its mirror was.
    TARNWICK_LANE_INLINE static void transpose(V* square) noexcept {
        constexpr std::size_t w = L::width;
        V result[width];
        for (std::size_t a = 0; a < G; ++a) {
            for (std::size_t c = 0; c < G; ++c) {
                Lanes block[w];
                for (std::size_t t = 0; t < w; ++t) {
                    block[t] = square[a * w + t].g[c];
                }
                L::transpose(block);
                for (std::size_t t = 0; t < w; ++t) {
                    result[c * w + t].g[a] = block[t];
                }
            }
        }
        for (std::size_t j = 0; j < width; ++j) {
            square[j] = result[j];
        }
    }

    TARNWICK_LANE_INLINE friend V operator+(V a, V b) noexcept {
        V r;
        for (std::size_t i = 0; i < G; ++i) {
            r.g[i] = a.g[i] + b.g[i];
        }
        return r;
    }
    TARNWICK_LANE_INLINE friend V operator-(V a, V b) noexcept {
        V r;
        for (std::size_t i = 0; i < G; ++i) {
            r.g[i] = a.g[i] - b.g[i];
        }
        return r;
    }
    TARNWICK_LANE_INLINE friend V operator*(V a, V b) noexcept {
        V r;
        for (std::size_t i = 0; i < G; ++i) {
            r.g[i] = a.g[i] * b.g[i];
        }
        return r;
    }
    TARNWICK_LANE_INLINE friend V operator/(V a, V b) noexcept {
        V r;
        for (std::size_t i = 0; i < G; ++i) {
            r.g[i] = a.g[i] / b.g[i];
        }
        return r;
    }
    TARNWICK_LANE_INLINE friend M operator<(V a, V b) noexcept {
        M r;
        for (std::size_t i = 0; i < G; ++i) {
            r.g[i] = a.g[i] < b.g[i];
        }
        return r;
    }
    TARNWICK_LANE_INLINE friend M operator&(M a, M b) noexcept {
        M r;
        for (std::size_t i = 0; i < G; ++i) {
            r.g[i] = a.g[i] & b.g[i];
        }
        return r;
    }
    TARNWICK_LANE_INLINE friend M operator!=(M a, M b) noexcept {
        M r;
        for (std::size_t i = 0; i < G; ++i) {
            r.g[i] = a.g[i] != b.g[i];
        }
        return r;
    }
    TARNWICK_LANE_INLINE friend M is_nan(V a) noexcept {
        M r;
        for (std::size_t i = 0; i < G; ++i) {
            r.g[i] = is_nan(a.g[i]);
        }
        return r;
    }
    TARNWICK_LANE_INLINE friend V select(M m, V yes, V no) noexcept {
        V r;
        for (std::size_t i = 0; i < G; ++i) {
            r.g[i] = select(m.g[i], yes.g[i], no.g[i]);
        }
        return r;
    }
    TARNWICK_LANE_INLINE friend V abs(V a) noexcept {
        V r;
        for (std::size_t i = 0; i < G; ++i) {
            r.g[i] = abs(a.g[i]);
        }
        return r;
    }
};

// The one quiet NaN for every NaN a lane computed (ieee_double.hpp).
template <class L> TARNWICK_LANE_INLINE typename L::V stored_lanes(typename L::V x) noexcept {
    return select(is_nan(x), L::splat(quiet_nan), x);
}

// a where a < b, else b (equal operands or a NaN give b), and a where b < a,
// else b: x86's minimum and maximum instructions are these, one instruction
// on a stop's serial chain where a comparison and a select are two.
template <class V> TARNWICK_LANE_INLINE V lesser(V a, V b) noexcept {
    return select(a < b, a, b);
}
template <class V> TARNWICK_LANE_INLINE V greater(V a, V b) noexcept {
    return select(b < a, a, b);
}
template <class Ops>
    requires requires(typename Ops::Reg r) { Ops::min(r, r); }
TARNWICK_LANE_INLINE Register<Ops> lesser(Register<Ops> a, Register<Ops> b) noexcept {
    return {Ops::min(a.v, b.v)};
}
template <class Ops>
    requires requires(typename Ops::Reg r) { Ops::max(r, r); }
TARNWICK_LANE_INLINE Register<Ops> greater(Register<Ops> a, Register<Ops> b) noexcept {
    return {Ops::max(a.v, b.v)};
}

// nan_ignoring.hpp, lane by lane: the test of b first, equal operands give b.
template <class V> TARNWICK_LANE_INLINE V nan_ignoring_max_lanes(V a, V b) noexcept {
    return select(is_nan(b), a, greater(a, b));
}
template <class V> TARNWICK_LANE_INLINE V nan_ignoring_min_lanes(V a, V b) noexcept {
    return select(is_nan(b), a, lesser(a, b));
}

} // namespace tarnwick::TARNWICK_TARGET
