// SPDX-License-Identifier: MIT
// The kernels stepped over W rows at once, written once over a lane set `L`:
// L::V holds W = L::width doubles, made by L::load and L::splat and written by
// L::store, turned from W rows of W bars into W bars of W rows by
// L::transpose, and has the operations of lanes.hpp (+, -, *, /, <, & of masks,
// select, is_nan, abs), each one IEEE operation per lane. Every lane does the
// one-series kernel's operations in its order, so each row gets the bits it
// gets alone: a branch of the kernel becomes a select between the values
// both sides compute, and no kept value depends on the side not taken.
//
// Included only by the rows_*.cpp translation units, each built for its own
// instruction set and instantiating these templates on its own lane types,
// so no code made with one instruction set is shared with another. That is
// also why nothing here calls an inline function of the scalar kernels.
#pragma once

#include "rows.hpp"

#include <cstddef>
#include <cstring>

// A lane operation is a few instructions on registers: left as a call, it
// would pass its vectors through memory on every bar.
#if defined(_MSC_VER) && !defined(__clang__)
#define TARNWICK_LANE_INLINE __forceinline
#else
#define TARNWICK_LANE_INLINE [[gnu::always_inline]] inline
#endif

namespace tarnwick::lane_rows {

// Bars are stepped a chunk at a time: the rows of a block are laid out bar by
// bar (the lanes of one bar side by side) in a tile of 8 KiB per series,
// which stays in the first-level cache, stepped, and the results laid back
// out row by row.
template <class L> inline constexpr std::size_t chunk = 1024 / L::width;

// G lane sets side by side as one of G * W lanes: each operation is the lane
// set's on each group in turn, so the G serial chains of a recurrence are
// independent and overlap in the processor, where one alone would wait on
// its own latency.
template <class L, std::size_t G> struct Group {
    using Lanes = typename L::V;
    using Mask = decltype(Lanes{} < Lanes{});
    struct V {
        Lanes g[G];
    };
    struct M {
        Mask g[G];
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

// nan_ignoring.hpp, lane by lane: the test of b first, equal operands give b.
template <class V> TARNWICK_LANE_INLINE V nan_ignoring_max_lanes(V a, V b) noexcept {
    return select(is_nan(b), a, select(b < a, a, b));
}
template <class V> TARNWICK_LANE_INLINE V nan_ignoring_min_lanes(V a, V b) noexcept {
    return select(is_nan(b), a, select(a < b, a, b));
}

// Bars first .. first + count - 1 of rows row .. row + W - 1 of series k,
// bar by bar, into `tile`: W bars of W rows at a time as a transposed square
// of lanes (L::transpose moves bits, it computes nothing), the rest one by
// one.
template <class L>
void gather(const RowBlock& b, std::size_t k, std::size_t row, std::size_t first, std::size_t count,
            double* tile) noexcept {
    constexpr std::size_t width = L::width;
    const double* from[width];
    for (std::size_t lane = 0; lane < width; ++lane) {
        from[lane] = b.series[k] + (row + lane) * b.columns + first;
    }
    std::size_t i = 0;
    for (; i + width <= count; i += width) {
        typename L::V square[width];
        for (std::size_t lane = 0; lane < width; ++lane) {
            square[lane] = L::load(from[lane] + i);
        }
        L::transpose(square);
        for (std::size_t j = 0; j < width; ++j) {
            L::store(tile + (i + j) * width, square[j]);
        }
    }
    for (; i < count; ++i) {
        for (std::size_t lane = 0; lane < width; ++lane) {
            tile[i * width + lane] = from[lane][i];
        }
    }
}

// The results of those bars from `tile` into their rows of the output, the
// same way when the output's values are adjacent.
template <class L>
void scatter(const RowBlock& b, std::size_t row, std::size_t first, std::size_t count,
             const double* tile) noexcept {
    constexpr std::size_t width = L::width;
    char* to[width];
    for (std::size_t lane = 0; lane < width; ++lane) {
        to[lane] = b.out + static_cast<std::ptrdiff_t>(row + lane) * b.out_row +
                   static_cast<std::ptrdiff_t>(first) * b.out_column;
    }
    std::size_t i = 0;
    if (b.out_column == static_cast<std::ptrdiff_t>(sizeof(double))) {
        for (; i + width <= count; i += width) {
            typename L::V square[width];
            for (std::size_t j = 0; j < width; ++j) {
                square[j] = L::load(tile + (i + j) * width);
            }
            L::transpose(square);
            for (std::size_t lane = 0; lane < width; ++lane) {
                double values[width];
                L::store(values, square[lane]);
                std::memcpy(to[lane] + i * sizeof(double), values, sizeof values);
            }
        }
    }
    for (; i < count; ++i) {
        for (std::size_t lane = 0; lane < width; ++lane) {
            std::memcpy(to[lane] + static_cast<std::ptrdiff_t>(i) * b.out_column,
                        &tile[i * width + lane], sizeof(double));
        }
    }
}

// Runs `kernel` over every block of W rows: kernel.start(block, row) before
// the first bar of the rows from `row`, then kernel.run(tiles, out, first,
// count) on each chunk of their bars.
template <class L, class Kernel> std::size_t run_rows(const RowBlock& b, Kernel& kernel) noexcept {
    constexpr std::size_t width = L::width;
    constexpr std::size_t inputs = Kernel::inputs;
    constexpr std::size_t bars = chunk<L>;
    alignas(64) double in[inputs][bars * width];
    alignas(64) double out[bars * width];
    for (std::size_t row = 0; row + width <= b.rows; row += width) {
        kernel.start(b, row, in[0]);
        for (std::size_t first = 0; first < b.columns; first += bars) {
            const std::size_t count = b.columns - first < bars ? b.columns - first : bars;
            for (std::size_t k = 0; k < inputs; ++k) {
                gather<L>(b, k, row, first, count, in[k]);
            }
            kernel.run(in, out, first, count);
            scatter<L>(b, row, first, count, out);
        }
    }
    return b.rows - b.rows % width;
}

// adx.hpp's adx_step. The guards atr > 0 and sum > 0 select the DX that the
// guarded division made, or 0.
template <class L> struct AdxLanes {
    using V = typename L::V;
    static constexpr std::size_t inputs = 3;
    static constexpr std::size_t width = L::width;
    V k, w, hundred, zero;
    V high{}, low{}, close{}, atr{}, plus_dm{}, minus_dm{}, adx{};

    explicit AdxLanes(const AdxParameters& p) noexcept
        : k(L::splat(p.k)), w(L::splat(p.w)), hundred(L::splat(100.0)), zero(L::splat(0.0)) {}

    void start(const RowBlock&, std::size_t, double*) noexcept {}

    TARNWICK_LANE_INLINE void run(const double (*in)[chunk<L> * width], double* out,
                                  std::size_t first, std::size_t count) noexcept {
        std::size_t i = 0;
        if (first == 0) {
            high = L::load(in[0]);
            low = L::load(in[1]);
            close = L::load(in[2]);
            atr = plus_dm = minus_dm = adx = zero;
            L::store(out, zero);
            i = 1;
        }
        for (; i < count; ++i) {
            const V h = L::load(in[0] + i * width);
            const V l = L::load(in[1] + i * width);
            const V c = L::load(in[2] + i * width);
            const V up = h - high;
            const V down = low - l;
            const V plus = select((down < up) & (zero < up), up, zero);
            const V minus = select((up < down) & (zero < down), down, zero);
            const V tr = nan_ignoring_max_lanes(nan_ignoring_max_lanes(h - l, abs(h - close)),
                                                abs(l - close));
            atr = atr * k + tr * w;
            plus_dm = plus_dm * k + plus * w;
            minus_dm = minus_dm * k + minus * w;
            const V plus_di = (plus_dm * hundred) / atr;
            const V minus_di = (minus_dm * hundred) / atr;
            const V sum = plus_di + minus_di;
            const V dx = select((zero < atr) & (zero < sum),
                                (abs(plus_di - minus_di) * hundred) / sum, zero);
            adx = adx * k + dx * w;
            L::store(out + i * width, stored_lanes<L>(adx));
            high = h;
            low = l;
            close = c;
        }
    }
};

// parabolic_sar.hpp's sar_step. The direction is +1 (rising) or -1 in each
// lane; each comparison of the kernel's two branches is one comparison of
// operands chosen by direction, and a reversal selects its values over the
// kept trend's.
template <class L> struct SarLanes {
    using V = typename L::V;
    static constexpr std::size_t inputs = 2;
    static constexpr std::size_t width = L::width;
    V af_step, af_max, af_start, zero;
    V direction{}, sar{}, ep{}, af{}, high{}, low{};

    explicit SarLanes(const SarParameters& p) noexcept
        : af_step(L::splat(p.af_step)), af_max(L::splat(p.af_max)), af_start(L::splat(p.af_start)),
          zero(L::splat(0.0)) {}

    void start(const RowBlock&, std::size_t, double*) noexcept {}

    TARNWICK_LANE_INLINE void run(const double (*in)[chunk<L> * width], double* out,
                                  std::size_t first, std::size_t count) noexcept {
        std::size_t i = 0;
        if (first == 0) {
            high = L::load(in[0]);
            low = L::load(in[1]);
            direction = L::splat(1.0);
            sar = low;
            ep = high;
            af = af_start;
            L::store(out, low);
            i = 1;
        }
        for (; i < count; ++i) {
            const V h = L::load(in[0] + i * width);
            const V l = L::load(in[1] + i * width);
            const auto rising = zero < direction;
            const V step = (ep - sar) * af + sar;
            const V stop = select(rising, nan_ignoring_min_lanes(step, low),
                                  nan_ignoring_max_lanes(step, high));
            // Rising: low < stop reverses, a high above ep is a new extreme;
            // falling: stop < high, and a low below ep.
            const auto reverse = select(rising, l, stop) < select(rising, stop, h);
            const auto beyond = select(rising, ep, l) < select(rising, h, ep);
            const V raised = nan_ignoring_min_lanes(af + af_step, af_max);
            L::store(out + i * width, select(reverse, ep, stored_lanes<L>(stop)));
            const V kept_ep = select(beyond, select(rising, h, l), ep);
            const V kept_af = select(beyond, raised, af);
            sar = select(reverse, ep, stop);
            ep = select(reverse, select(rising, l, h), kept_ep);
            af = select(reverse, af_start, kept_af);
            direction = select(reverse, zero - direction, direction);
            high = h;
            low = l;
        }
    }
};

// garch11.hpp's garch11_step, from each row's seed (garch11_seed: the mean of
// its squares summed in index order) or from the one given.
template <class L> struct Garch11Lanes {
    using V = typename L::V;
    static constexpr std::size_t inputs = 1;
    static constexpr std::size_t width = L::width;
    V omega, alpha, beta, zero;
    const double* given;
    V variance{};

    Garch11Lanes(const Garch11Parameters& p, const double* seed) noexcept
        : omega(L::splat(p.omega)), alpha(L::splat(p.alpha)), beta(L::splat(p.beta)),
          zero(L::splat(0.0)), given(seed) {}

    void start(const RowBlock& b, std::size_t row, double* tile) noexcept {
        alignas(64) double seeds[width];
        if (given != nullptr) {
            const double seed = garch11_seed_from(*given);
            for (std::size_t lane = 0; lane < width; ++lane) {
                seeds[lane] = seed;
            }
        } else {
            V sum = zero;
            constexpr std::size_t bars = chunk<L>;
            for (std::size_t first = 0; first < b.columns; first += bars) {
                const std::size_t count = b.columns - first < bars ? b.columns - first : bars;
                gather<L>(b, 0, row, first, count, tile);
                for (std::size_t i = 0; i < count; ++i) {
                    const V r = L::load(tile + i * width);
                    sum = sum + r * r;
                }
            }
            L::store(seeds, sum / L::splat(static_cast<double>(b.columns)));
            for (std::size_t lane = 0; lane < width; ++lane) {
                seeds[lane] = garch11_seed_from(seeds[lane]);
            }
        }
        variance = L::load(seeds);
    }

    TARNWICK_LANE_INLINE void run(const double (*in)[chunk<L> * width], double* out, std::size_t,
                                  std::size_t count) noexcept {
        for (std::size_t i = 0; i < count; ++i) {
            const V r = L::load(in[0] + i * width);
            const V shock = (alpha * r) * r + omega;
            const V t = variance * beta + shock;
            variance = select(zero < t, t, zero);
            L::store(out + i * width, variance);
        }
    }
};

// Runs `Kernel` over groups of G lane sets while there are rows for them,
// then over single lane sets.
template <class L, std::size_t G, template <class> class Kernel, class... Settings>
void grouped(const RowBlock& b, const Settings&... settings) noexcept {
    Kernel<Group<L, G>> wide(settings...);
    const std::size_t done = run_rows<Group<L, G>>(b, wide);
    RowBlock rest = b;
    rest.rows -= done;
    for (std::size_t k = 0; k < 3; ++k) {
        if (rest.series[k] != nullptr) {
            rest.series[k] += done * b.columns;
        }
    }
    rest.out += static_cast<std::ptrdiff_t>(done) * b.out_row;
    Kernel<L> narrow(settings...);
    (void)run_rows<L>(rest, narrow);
}

// The entries of one lane set, for its translation unit's LaneKernels: G of
// them at a time (as many as the registers hold).
template <class L, std::size_t G> struct Entries {
    static void adx(const RowBlock& b, const AdxParameters& p) noexcept {
        grouped<L, G, AdxLanes>(b, p);
    }
    static void sar(const RowBlock& b, const SarParameters& p) noexcept {
        grouped<L, G, SarLanes>(b, p);
    }
    static void garch11(const RowBlock& b, const Garch11Parameters& p,
                        const double* seed) noexcept {
        grouped<L, G, Garch11Lanes>(b, p, seed);
    }
    static constexpr LaneKernels kernels{L::width, &adx, &sar, &garch11};
};

} // namespace tarnwick::lane_rows
