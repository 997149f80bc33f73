// SPDX-License-Identifier: MIT
// One-dimensional series given in chunks (an Arrow ChunkedArray's), read
// where each chunk lies. The kernel's state carries from the end of one run
// of bars into the next, as a stream's extend carries on from where it
// stopped, so every value has the bits it has in the joined series. A seed
// read from the whole series first (GARCH's mean of the squared returns) is
// read over every chunk in order with the one accumulator the joined series
// has.
#pragma once

#include "../binding/catalogue.hpp"
#include "../indicators/kernel_error.hpp"
#include "../ndarray/array_series.hpp"
#include "../ndarray/row_output.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <tuple>
#include <utility>

namespace tarnwick::arrays {

// `f(run, first)` for each run of bars that lies in one chunk of every
// series, in order, `first` its first bar: series chunked differently are
// split where any of them is. A series not in pieces is one chunk, `whole[k]`.
template <std::size_t S, class F>
void for_each_run(const std::array<std::span<const double>, S>& whole,
                  const std::array<const Pieces*, S>& pieces, std::size_t length, F&& f) noexcept {
    const auto chunk = [&](std::size_t k, std::size_t i) {
        return pieces[k] != nullptr ? (*pieces[k])[i] : whole[k];
    };
    std::array<std::size_t, S> in{};
    std::array<std::size_t, S> at{};
    for (std::size_t first = 0; first < length;) {
        std::size_t count = length - first;
        for (std::size_t k = 0; k < S; ++k) {
            while (at[k] == chunk(k, in[k]).size()) {
                ++in[k];
                at[k] = 0;
            }
            count = std::min(count, chunk(k, in[k]).size() - at[k]);
        }
        std::array<std::span<const double>, S> run{};
        for (std::size_t k = 0; k < S; ++k) {
            run[k] = chunk(k, in[k]).subspan(at[k], count);
            at[k] += count;
        }
        f(run, first);
        first += count;
    }
}

// Indicator `I` over series of one dimension, some in chunks: the lengths,
// then the scalars, checked as the whole-series kernel checks them, then the
// state begun (from `seed` where given) and carried over the runs of bars.
template <class I, std::size_t S, class... Arguments>
[[nodiscard]] KernelStatus over_chunks(RowOutput& out, const std::optional<double>& seed,
                                       const std::array<std::span<const double>, S>& whole,
                                       const std::array<const Pieces*, S>& pieces,
                                       Arguments... arguments) noexcept {
    std::size_t length = 0;
    for (std::size_t k = 0; k < S; ++k) {
        const std::size_t n = pieces[k] != nullptr ? pieces[k]->length() : whole[k].size();
        if (k > 0 && n != length) {
            if constexpr (S > 1) {
                return I::lengths_differ;
            }
        }
        length = n;
    }
    using Kernel = typename I::template Kernel<TARNWICK_TARGET::OneLane>;
    using State = typename I::State;
    constexpr bool looks_ahead =
        requires(const Kernel& k, State& s) { k.begin(s, k.ahead(), std::size_t{}); };
    static_assert(
        looks_ahead ||
            !requires(State& s, const typename I::Settings& p,
                      const typename I::template Series<>& series) { I::start(s, p, series); },
        "a state begun from its series reads it through the kernel's look-ahead");
    return [&]<std::size_t... R>(std::index_sequence<R...>) -> KernelStatus {
        const auto all = std::tuple<Arguments...>(arguments...);
        auto made = I::settings(std::get<S + R>(all)...);
        if (made.failed()) {
            return KernelStatus(made.error());
        }
        typename I::Settings p = made.value();
        if constexpr (requires { I::with_seed(p, 0.0); }) {
            if (seed) {
                p = I::with_seed(p, *seed);
            }
        }
        State s{};
        if constexpr (looks_ahead) {
            const Kernel kernel(p);
            auto ahead = kernel.ahead();
            if (kernel.looks_ahead()) {
                for_each_run(whole, pieces, length, [&](const auto& run, std::size_t) {
                    for (std::size_t i = 0; i < run[0].size(); ++i) {
                        double bar[S];
                        for (std::size_t k = 0; k < S; ++k) {
                            bar[k] = run[k][i];
                        }
                        kernel.look(ahead, bar);
                    }
                });
            }
            if (length > 0) {
                kernel.begin(s, ahead, length);
            }
        }
        for_each_run(whole, pieces, length, [&](const auto& run, std::size_t first) {
            RowOutput part(out.first() + static_cast<std::ptrdiff_t>(first) * out.stride(),
                           out.stride(), out.field_stride());
            I::pass(part, s, p, run);
        });
        return KernelStatus::ok();
    }(std::make_index_sequence<sizeof...(Arguments) - S>{});
}

// The one series of a call whose series have one dimension, some in chunks,
// into `out`.
template <class I, class Converted, std::size_t S>
[[nodiscard]] KernelStatus run_chunks(const Converted& converted, RowOutput out,
                                      const std::optional<double>& seed,
                                      const std::array<std::span<const double>, S>& whole,
                                      const std::array<const Pieces*, S>& pieces) noexcept {
    return converted.compute_with(
        [&](RowOutput& into, auto... arguments) noexcept {
            return over_chunks<I>(into, seed, whole, pieces, arguments...);
        },
        out, whole);
}

} // namespace tarnwick::arrays
