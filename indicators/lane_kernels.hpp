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
#include <utility>

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
// bar by bar, into `tile`. Rows in place: W bars of W rows at a time as a
// transposed square of lanes (L::transpose moves bits, it computes nothing),
// the rest one by one. Rows side by side: the W rows of one bar are one load.
template <class L>
void gather(const RowBlock& b, std::size_t k, std::size_t row, std::size_t first, std::size_t count,
            double* tile) noexcept {
    constexpr std::size_t width = L::width;
    if (b.in_row == 1) {
        const double* from = b.series[k] + row + first * b.in_column;
        for (std::size_t i = 0; i < count; ++i) {
            L::store(tile + i * width, L::load(from + i * b.in_column));
        }
        return;
    }
    const double* from[width];
    for (std::size_t lane = 0; lane < width; ++lane) {
        from[lane] = b.series[k] + (row + lane) * b.in_row + first * b.in_column;
    }
    std::size_t i = 0;
    if (b.in_column == 1) {
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
    }
    for (; i < count; ++i) {
        for (std::size_t lane = 0; lane < width; ++lane) {
            tile[i * width + lane] = from[lane][i * b.in_column];
        }
    }
}

// The results of those bars from `tile` into their rows of the output, the
// same ways when the output's values are adjacent along a row or across rows.
template <class L>
void scatter(const RowBlock& b, std::size_t row, std::size_t first, std::size_t count,
             const double* tile) noexcept {
    constexpr std::size_t width = L::width;
    constexpr auto adjacent = static_cast<std::ptrdiff_t>(sizeof(double));
    char* to[width];
    for (std::size_t lane = 0; lane < width; ++lane) {
        to[lane] = b.out + static_cast<std::ptrdiff_t>(row + lane) * b.out_row +
                   static_cast<std::ptrdiff_t>(first) * b.out_column;
    }
    std::size_t i = 0;
    if (b.out_row == adjacent) {
        for (; i < count; ++i) {
            std::memcpy(to[0] + static_cast<std::ptrdiff_t>(i) * b.out_column, tile + i * width,
                        width * sizeof(double));
        }
    } else if (b.out_column == adjacent) {
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

// Each kernel below is a state of W lanes with first(bar), the result of a
// series' first bar, and step(bar), each later one's, both taking the bar's
// inputs in lanes; a seeded kernel also has seed(sum of squares, bars).

// One chunk of a block's bars from the tiles into the tile of results.
template <class L, class Kernel>
TARNWICK_LANE_INLINE void run_chunk(Kernel& kernel, const double (*in)[chunk<L> * L::width],
                                    double* out, std::size_t first, std::size_t count) noexcept {
    constexpr std::size_t width = L::width;
    typename L::V bar[Kernel::inputs];
    std::size_t i = 0;
    if (first == 0 && count > 0) {
        for (std::size_t k = 0; k < Kernel::inputs; ++k) {
            bar[k] = L::load(in[k]);
        }
        L::store(out, kernel.first(bar));
        i = 1;
    }
    for (; i < count; ++i) {
        for (std::size_t k = 0; k < Kernel::inputs; ++k) {
            bar[k] = L::load(in[k] + i * width);
        }
        L::store(out + i * width, kernel.step(bar));
    }
}

// The seed of each lane from the sum of its squared returns over all its bars
// in index order (garch11_seed), unless the kernel was given one.
template <class L, class Kernel>
void seed_rows(Kernel& kernel, const RowBlock& b, std::size_t row, double* tile) noexcept {
    if constexpr (requires { kernel.seed(typename L::V{}, std::size_t{}); }) {
        typename L::V sum = L::splat(0.0);
        if (kernel.given == nullptr) {
            constexpr std::size_t bars = chunk<L>;
            for (std::size_t first = 0; first < b.columns; first += bars) {
                const std::size_t count = b.columns - first < bars ? b.columns - first : bars;
                gather<L>(b, 0, row, first, count, tile);
                for (std::size_t i = 0; i < count; ++i) {
                    const typename L::V r = L::load(tile + i * L::width);
                    sum = sum + r * r;
                }
            }
        }
        kernel.seed(sum, b.columns);
    }
}

// Runs `kernel` over every block of W rows: its seed, then each chunk of
// their bars gathered into tiles, stepped, and scattered.
template <class L, class Kernel> std::size_t run_rows(const RowBlock& b, Kernel& kernel) noexcept {
    constexpr std::size_t width = L::width;
    constexpr std::size_t inputs = Kernel::inputs;
    constexpr std::size_t bars = chunk<L>;
    alignas(64) double in[inputs][bars * width];
    alignas(64) double out[bars * width];
    for (std::size_t row = 0; row + width <= b.rows; row += width) {
        seed_rows<L>(kernel, b, row, in[0]);
        for (std::size_t first = 0; first < b.columns; first += bars) {
            const std::size_t count = b.columns - first < bars ? b.columns - first : bars;
            for (std::size_t k = 0; k < inputs; ++k) {
                gather<L>(b, k, row, first, count, in[k]);
            }
            run_chunk<L>(kernel, in, out, first, count);
            scatter<L>(b, row, first, count, out);
        }
    }
    return b.rows - b.rows % width;
}

// Series side by side (in_row 1: the rows of one bar adjacent): a batch of
// 512 series at a time, bar by bar across the batch, so that each bar's
// values are read as one run of memory (4 KiB per input) and written as one,
// the way they lie, while the batch's states (some 45 KiB on any path) stay
// in the near caches. Stepping one lane set through all its bars instead
// would touch a new page at every bar; batches of 64 or 128 series measured
// slower for want of longer runs.
template <class L> inline constexpr std::size_t side_by_side_batch = 512 / L::width;

template <class L, template <class> class Kernel, class... Settings, std::size_t... Q>
std::size_t run_side_by_side(const RowBlock& b, std::index_sequence<Q...>,
                             const Settings&... settings) noexcept {
    using V = typename L::V;
    constexpr std::size_t width = L::width;
    constexpr std::size_t inputs = Kernel<L>::inputs;
    constexpr auto adjacent = static_cast<std::ptrdiff_t>(sizeof(double));
    const std::size_t sets = b.rows / width;
    for (std::size_t set = 0; set < sets; set += sizeof...(Q)) {
        Kernel<L> batch[] = {((void)Q, Kernel<L>(settings...))...};
        const std::size_t in_batch = sets - set < sizeof...(Q) ? sets - set : sizeof...(Q);
        const std::size_t row = set * width;
        if constexpr (requires { batch[0].seed(V{}, std::size_t{}); }) {
            V sums[sizeof...(Q)] = {((void)Q, L::splat(0.0))...};
            if (batch[0].given == nullptr) {
                for (std::size_t i = 0; i < b.columns; ++i) {
                    const double* bar = b.series[0] + row + i * b.in_column;
                    for (std::size_t q = 0; q < in_batch; ++q) {
                        const V r = L::load(bar + q * width);
                        sums[q] = sums[q] + r * r;
                    }
                }
            }
            for (std::size_t q = 0; q < in_batch; ++q) {
                batch[q].seed(sums[q], b.columns);
            }
        }
        for (std::size_t i = 0; i < b.columns; ++i) {
            char* to = b.out + static_cast<std::ptrdiff_t>(row) * b.out_row +
                       static_cast<std::ptrdiff_t>(i) * b.out_column;
            for (std::size_t q = 0; q < in_batch; ++q) {
                V bar[inputs];
                for (std::size_t k = 0; k < inputs; ++k) {
                    bar[k] = L::load(b.series[k] + row + q * width + i * b.in_column);
                }
                double values[width];
                L::store(values, i == 0 ? batch[q].first(bar) : batch[q].step(bar));
                char* lanes = to + static_cast<std::ptrdiff_t>(q * width) * b.out_row;
                if (b.out_row == adjacent) {
                    std::memcpy(lanes, values, sizeof values);
                } else {
                    for (std::size_t lane = 0; lane < width; ++lane) {
                        std::memcpy(lanes + static_cast<std::ptrdiff_t>(lane) * b.out_row,
                                    &values[lane], sizeof(double));
                    }
                }
            }
        }
    }
    return sets * width;
}

// adx.hpp's adx_step. The guards atr > 0 and sum > 0 select the DX that the
// guarded division made, or 0.
template <class L> struct AdxLanes {
    using V = typename L::V;
    static constexpr std::size_t inputs = 3;
    V k, w, hundred, zero;
    V high{}, low{}, close{}, atr{}, plus_dm{}, minus_dm{}, adx{};

    explicit AdxLanes(const AdxParameters& p) noexcept
        : k(L::splat(p.k)), w(L::splat(p.w)), hundred(L::splat(100.0)), zero(L::splat(0.0)) {}

    TARNWICK_LANE_INLINE V first(const V* bar) noexcept {
        high = bar[0];
        low = bar[1];
        close = bar[2];
        atr = plus_dm = minus_dm = adx = zero;
        return zero;
    }
    TARNWICK_LANE_INLINE V step(const V* bar) noexcept {
        const V h = bar[0];
        const V l = bar[1];
        const V up = h - high;
        const V down = low - l;
        const V plus = select((down < up) & (zero < up), up, zero);
        const V minus = select((up < down) & (zero < down), down, zero);
        const V tr =
            nan_ignoring_max_lanes(nan_ignoring_max_lanes(h - l, abs(h - close)), abs(l - close));
        atr = atr * k + tr * w;
        plus_dm = plus_dm * k + plus * w;
        minus_dm = minus_dm * k + minus * w;
        const V plus_di = (plus_dm * hundred) / atr;
        const V minus_di = (minus_dm * hundred) / atr;
        const V sum = plus_di + minus_di;
        const V dx =
            select((zero < atr) & (zero < sum), (abs(plus_di - minus_di) * hundred) / sum, zero);
        adx = adx * k + dx * w;
        high = h;
        low = l;
        close = bar[2];
        return stored_lanes<L>(adx);
    }
};

// parabolic_sar.hpp's sar_step. The direction is +1 (rising) or -1 in each
// lane; each comparison of the kernel's two branches is one comparison of
// operands chosen by direction, and a reversal selects its values over the
// kept trend's.
template <class L> struct SarLanes {
    using V = typename L::V;
    static constexpr std::size_t inputs = 2;
    V af_step, af_max, af_start, zero;
    V direction{}, sar{}, ep{}, af{}, high{}, low{};

    explicit SarLanes(const SarParameters& p) noexcept
        : af_step(L::splat(p.af_step)), af_max(L::splat(p.af_max)), af_start(L::splat(p.af_start)),
          zero(L::splat(0.0)) {}

    TARNWICK_LANE_INLINE V first(const V* bar) noexcept {
        high = bar[0];
        low = bar[1];
        direction = L::splat(1.0);
        sar = low;
        ep = high;
        af = af_start;
        return low;
    }
    TARNWICK_LANE_INLINE V step(const V* bar) noexcept {
        const V h = bar[0];
        const V l = bar[1];
        const auto rising = zero < direction;
        const V next = (ep - sar) * af + sar;
        const V stop =
            select(rising, nan_ignoring_min_lanes(next, low), nan_ignoring_max_lanes(next, high));
        // Rising: low < stop reverses, a high above ep is a new extreme;
        // falling: stop < high, and a low below ep.
        const auto reverse = select(rising, l, stop) < select(rising, stop, h);
        const auto beyond = select(rising, ep, l) < select(rising, h, ep);
        const V raised = nan_ignoring_min_lanes(af + af_step, af_max);
        const V result = select(reverse, ep, stored_lanes<L>(stop));
        const V kept_ep = select(beyond, select(rising, h, l), ep);
        const V kept_af = select(beyond, raised, af);
        sar = select(reverse, ep, stop);
        ep = select(reverse, select(rising, l, h), kept_ep);
        af = select(reverse, af_start, kept_af);
        direction = select(reverse, zero - direction, direction);
        high = h;
        low = l;
        return result;
    }
};

// garch11.hpp's garch11_step, from each row's seed (garch11_seed: the mean of
// its squares summed in index order) or from the one given.
template <class L> struct Garch11Lanes {
    using V = typename L::V;
    static constexpr std::size_t inputs = 1;
    V omega, alpha, beta, zero;
    const double* given;
    V variance{};

    Garch11Lanes(const Garch11Parameters& p, const double* seed) noexcept
        : omega(L::splat(p.omega)), alpha(L::splat(p.alpha)), beta(L::splat(p.beta)),
          zero(L::splat(0.0)), given(seed) {}

    // From the lanes' sums of squares over `bars` bars, unless given a seed.
    void seed(V sum, std::size_t bars) noexcept {
        alignas(64) double seeds[L::width];
        if (given != nullptr) {
            const double seed = garch11_seed_from(*given);
            for (double& s : seeds) {
                s = seed;
            }
        } else {
            L::store(seeds, sum / L::splat(static_cast<double>(bars)));
            for (double& s : seeds) {
                s = garch11_seed_from(s);
            }
        }
        variance = L::load(seeds);
    }
    TARNWICK_LANE_INLINE V first(const V* bar) noexcept { return step(bar); }
    TARNWICK_LANE_INLINE V step(const V* bar) noexcept {
        const V r = bar[0];
        const V shock = (alpha * r) * r + omega;
        const V t = variance * beta + shock;
        variance = select(zero < t, t, zero);
        return variance;
    }
};

// Runs `Kernel` over every block of rows: side by side, in batches bar by
// bar; otherwise in groups of G lane sets while there are rows for them,
// then in single lane sets.
template <class L, std::size_t G, template <class> class Kernel, class... Settings>
void grouped(const RowBlock& b, const Settings&... settings) noexcept {
    if (b.in_row == 1 && b.rows > 1) {
        (void)run_side_by_side<L, Kernel>(b, std::make_index_sequence<side_by_side_batch<L>>{},
                                          settings...);
        return;
    }
    Kernel<Group<L, G>> wide(settings...);
    const std::size_t done = run_rows<Group<L, G>>(b, wide);
    RowBlock rest = b;
    rest.rows -= done;
    for (std::size_t k = 0; k < 3; ++k) {
        if (rest.series[k] != nullptr) {
            rest.series[k] += done * b.in_row;
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
