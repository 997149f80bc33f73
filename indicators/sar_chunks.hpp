// SPDX-License-Identifier: MIT
// The stops of one long series in chunks stepped side by side. A stop is a
// chain of dependent subtractions, products and sums, each waiting for the
// last, so one series leaves most of the processor idle. Here the bars are
// cut into L::width chunks, one a lane: the first starts from the series'
// own state, each other from a guess (the state a series starting at the
// bar before its chunk would have), and all step together through SarKernel.
//
// A guessed path meets the true one: at a reversal the stop becomes the
// trend's extreme and the extreme the bar's own price, so two paths that
// reverse at the same bar the same way agree from the next reversal on, to
// the bit. Each chunk's states after its first `checked` bars are kept. Then,
// chunk after chunk, the true state from the chunk before is stepped on one
// bar at a time, its stops written over the guessed ones, until it equals the
// kept state of the same bar in every field; from there on the chunk's stops
// are the true ones, and its last state the true state after it. A chunk
// whose paths have not met within `checked` bars is stepped on to its end
// by the one-series pass (sar_extend). Every stop is therefore the value of
// the documented step from the true state, bit for bit.
#pragma once

#include "parabolic_sar.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <type_traits>

namespace tarnwick::TARNWICK_TARGET {

// Writes each value to the next place of a run of doubles.
struct SarRunOut {
    double* at;
    void start(std::size_t) noexcept {}
    void put(std::size_t i, double value) noexcept { at[i] = value; }
};

template <class L> struct SarChunks {
    using V = typename L::V;
    using Kernel = SarKernel<L>;
    using State = typename Kernel::State;
    static constexpr std::size_t width = L::width;
    // Bars of each chunk whose states are kept for the meeting.
    static constexpr std::size_t checked = 256;

    // One lane's state, the rising trend as 1 or 0.
    struct Kept {
        double rising, sar, ep, af;
    };

    static bool same(double a, double b) noexcept {
        return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
    }
    static bool meets(const SarSeriesState& s, const Kept& k) noexcept {
        return s.rising == (k.rising != 0.0) && same(s.sar, k.sar) && same(s.ep, k.ep) &&
               same(s.af, k.af);
    }

    // Lane j of each field of `s` into kept[j].
    static void keep(const State& s, Kept* kept) noexcept {
        std::array<double, width> rising{}, sar{}, ep{}, af{};
        L::store(rising.data(), select(s.rising, L::splat(1.0), L::splat(0.0)));
        L::store(sar.data(), s.sar);
        L::store(ep.data(), s.ep);
        L::store(af.data(), s.af);
        for (std::size_t j = 0; j < width; ++j) {
            kept[j] = {rising[j], sar[j], ep[j], af[j]};
        }
    }

    // The doubles of scratch run() needs.
    static constexpr std::size_t scratch = 4 * checked * width;

    // Bars 1 .. n - 1 of high and low into out[1 ..], `state` holding the
    // state after bar 0; leaves in it the state after bar n - 1 (but for
    // its count of bars, which the caller keeps). `room` holds `scratch`
    // doubles. The bars go a stretch of `width` chunks at a time, each
    // stretch small enough to stay in the cache from its lanes' pass to its
    // meetings, its chunks' streams through memory near one another.
    static void run(SarSeriesState& state, const SarParameters& p, const double* high,
                    const double* low, std::size_t n, double* out, double* room) noexcept {
        SarSeriesState truth = state;
        // Any count but 0, which would make the next bar a series' first.
        truth.bars = 1;
        std::size_t at = 1;
        while (n - at >= width * shortest) {
            // Whole registers of bars in every chunk.
            const std::size_t chunk = std::min(longest, (n - at) / width / width * width);
            stretch(truth, p, high, low, at, chunk, out, room);
            at += width * chunk;
        }
        if (at < n) {
            SarRunOut rest{out + at};
            sar_extend(rest, truth, p, {high + at, n - at}, {low + at, n - at});
        }
        truth.bars = state.bars;
        state = truth;
    }

    // Chunks of `shortest` to `longest` bars: a chunk's meeting costs some
    // tens of bars stepped one at a time.
    static constexpr std::size_t shortest = 1024;
    static constexpr std::size_t longest = 16384;
    static_assert(checked % width == 0 && shortest >= checked && longest % width == 0);

    // Bars at .. at + width * chunk - 1, `truth` the state before them and
    // after them.
    static void stretch(SarSeriesState& truth, const SarParameters& p, const double* high,
                        const double* low, std::size_t at, std::size_t chunk, double* out,
                        double* room) noexcept {
        // Chunk j is bars first[j] .. first[j] + chunk - 1.
        std::array<std::size_t, width> first{};
        for (std::size_t j = 0; j < width; ++j) {
            first[j] = at + j * chunk;
        }
        // The starting states: the true one in lane 0, a fresh series' at
        // the bar before each other chunk.
        std::array<double, width> rising{}, sar{}, ep{}, af{}, hi{}, lo{};
        for (std::size_t j = 0; j < width; ++j) {
            const std::size_t before = first[j] - 1;
            const bool own = j == 0;
            rising[j] = own ? (truth.rising ? 1.0 : 0.0) : 1.0;
            sar[j] = own ? truth.sar : low[before];
            ep[j] = own ? truth.ep : high[before];
            af[j] = own ? truth.af : p.af_start;
            hi[j] = own ? truth.high : high[before];
            lo[j] = own ? truth.low : low[before];
        }
        State s{};
        s.rising = L::splat(0.0) < L::load(rising.data());
        s.sar = L::load(sar.data());
        s.ep = L::load(ep.data());
        s.af = L::load(af.data());
        s.high = L::load(hi.data());
        s.low = L::load(lo.data());
        const Kernel kernel(p);
        // Kept states, chunk j's after its bar i at kept_states[i * width + j].
        auto* const kept_states = reinterpret_cast<Kept*>(room);
        std::array<Kept, width> last{};
        std::array<double, width> last_high{}, last_low{};
        // `width` bars of every chunk at a time, turned from a chunk a
        // register into a bar a register and back in registers.
        const auto steps = [&](std::size_t from, std::size_t to, auto keeping) {
            for (std::size_t i = from; i < to; i += width) {
                V h[width], l[width], v[width];
                for (std::size_t j = 0; j < width; ++j) {
                    h[j] = L::load(high + first[j] + i);
                    l[j] = L::load(low + first[j] + i);
                }
                L::transpose(h);
                L::transpose(l);
                for (std::size_t t = 0; t < width; ++t) {
                    const V bar[] = {h[t], l[t]};
                    v[t] = kernel.step(s, bar);
                    if constexpr (keeping) {
                        keep(s, kept_states + (i + t) * width);
                    }
                }
                L::transpose(v);
                for (std::size_t j = 0; j < width; ++j) {
                    L::store(out + first[j] + i, v[j]);
                }
            }
        };
        steps(0, checked, std::true_type{});
        steps(checked, chunk, std::false_type{});
        keep(s, last.data());
        L::store(last_high.data(), s.high);
        L::store(last_low.data(), s.low);
        const auto take_last = [&](std::size_t j) {
            truth.rising = last[j].rising != 0.0;
            truth.sar = last[j].sar;
            truth.ep = last[j].ep;
            truth.af = last[j].af;
            truth.high = last_high[j];
            truth.low = last_low[j];
        };
        // Lane 0 started from the true state: its last state is the true one.
        take_last(0);
        const SarKernel<OneLane> one(p);
        const std::size_t watched = std::min(checked, chunk);
        for (std::size_t j = 1; j < width; ++j) {
            const std::size_t start = first[j];
            bool met = false;
            for (std::size_t i = 0; i < watched && !met; ++i) {
                const double bar[] = {high[start + i], low[start + i]};
                out[start + i] = one.step(truth, bar);
                met = meets(truth, kept_states[i * width + j]);
            }
            if (met) {
                take_last(j);
            } else if (chunk > watched) {
                SarRunOut rest{out + start + watched};
                sar_extend(rest, truth, p, {high + start + watched, chunk - watched},
                           {low + start + watched, chunk - watched});
            }
        }
    }
};

// SarRun over the lanes of L: the scratch taken for the call and given back.
template <class L>
bool sar_run_in(SarSeriesState& state, const SarParameters& p, const double* high,
                const double* low, std::size_t n, double* out) noexcept {
    void* const room = std::malloc(SarChunks<L>::scratch * sizeof(double));
    if (room == nullptr) {
        return false;
    }
    SarChunks<L>::run(state, p, high, low, n, out, static_cast<double*>(room));
    std::free(room);
    return true;
}

} // namespace tarnwick::TARNWICK_TARGET
