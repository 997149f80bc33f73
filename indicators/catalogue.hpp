// SPDX-License-Identifier: MIT
// The catalogue of indicators: for each, its stem name, its parameters with
// the kind of value each converts to, its kernel, its validation and its
// documentation. It is the one description every binding maps (tarnwick
// names each function native_<stem> and returns lists, tarnwick_arrays names
// it <stem> and returns arrays, tarnwick_stream makes a type named
// `type_name`), and the one each instruction set's rows are made from
// (lane_kernels.hpp). It holds no interpreter type, and sits beside the
// kernels because each target compiles it in a namespace of its own.
//
// An entry declares what Indicator below checks: the series parameters come
// first; `Kernel<L>`, the step over lanes L with its `State`; `Settings` made
// from the scalar parameters by `settings`, the one place they are refused;
// `lengths_differ`, the refusal of series of different lengths; and the
// state's `fields`, which a pickle records one word each. Entry<E> derives
// the rest: the whole-series kernel, a stream's step and extend, and `rows`.
// Optional: `tuned_pass`, a faster one-series pass proven equal to the step
// bit for bit; `start`, what a new state reads of its series first;
// `with_seed`, an optional real the whole-series kernel takes as `seed`; and
// `rows_in_lanes`, false where a panel's rows go faster one at a time than
// transposed into vector lanes.
#pragma once

#include "adx.hpp"
#include "garch11.hpp"
#include "kernel_error.hpp"
#include "parabolic_sar.hpp"
#include "rows.hpp"

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

namespace tarnwick {

// What a parameter converts to: a series of doubles (extract_float_series),
// a double (extract_float) or a count from 0 to 2**64 - 1 (extract_index).
enum class Kind : unsigned char { series, real, count };

struct Parameter {
    std::string_view name;
    Kind kind;
    // A real that an array call also takes as one value per series.
    bool per_series = false;
};

// How a kernel takes a parameter of each kind.
template <Kind K>
using ArgumentOf = std::conditional_t<K == Kind::series, std::span<const double>,
                                      std::conditional_t<K == Kind::real, double, std::uint64_t>>;

// How many series parameters come first.
template <class E>
inline constexpr std::size_t series_count = [] {
    std::size_t n = 0;
    while (n < E::parameters.size() && E::parameters[n].kind == Kind::series) {
        ++n;
    }
    return n;
}();

// Every indicator, in registration order.
template <class... Indicators> struct IndicatorList {
    static constexpr std::size_t size = sizeof...(Indicators);
};

// One list, then another.
template <class... A, class... B>
IndicatorList<A..., B...> followed_by(IndicatorList<A...>, IndicatorList<B...>);

// Where `E` is in a list.
template <class E, class... I> consteval std::size_t position_of(IndicatorList<I...>) {
    std::size_t at = 0;
    (void)((std::is_same_v<E, I> ? true : (++at, false)) || ...);
    return at;
}

} // namespace tarnwick

namespace tarnwick::TARNWICK_TARGET {

// One bar through a kernel: its first bar's value or a later one's.
template <class K>
TARNWICK_LANE_INLINE auto advance(const K& kernel, typename K::State& s,
                                  const typename K::V* bar) noexcept {
    const auto value = s.bars == 0 ? kernel.first(s, bar) : kernel.step(s, bar);
    ++s.bars;
    return value;
}

// What every entry derives from its kernel, its parameters and its
// validation (`settings`), in the forms each binding calls.
template <class E> struct Entry {
    template <class S = E> using Series = std::array<std::span<const double>, series_count<S>>;

    // Continues `s` over the series, all of one length: the entry's tuned
    // one-series pass where it has one, otherwise its kernel a bar at a time.
    template <class Out, class S = E>
    static void pass(Out& out, typename S::State& s, const typename S::Settings& p,
                     const Series<S>& series) noexcept {
        if constexpr (requires { S::tuned_pass(out, s, p, series); }) {
            S::tuned_pass(out, s, p, series);
        } else {
            const typename S::template Kernel<OneLane> kernel(p);
            const std::size_t n = series[0].size();
            out.start(n);
            // A local copy, which stores into the output cannot alias.
            typename S::State local = s;
            for (std::size_t i = 0; i < n; ++i) {
                double bar[series_count<S>];
                for (std::size_t k = 0; k < series_count<S>; ++k) {
                    bar[k] = series[k][i];
                }
                out.put(i, advance(kernel, local, bar));
            }
            s = local;
        }
    }

    // Whether a panel's rows are stepped in vector lanes (series side by
    // side always are).
    template <class S = E> static constexpr bool steps_rows_in_lanes() noexcept {
        if constexpr (requires { S::rows_in_lanes; }) {
            return S::rows_in_lanes;
        } else {
            return true;
        }
    }

    // The one check of the series' lengths.
    template <class S = E>
    [[nodiscard]] static KernelStatus same_lengths(const Series<S>& series) noexcept {
        if constexpr (series_count<S> > 1) {
            for (const std::span<const double> each : series) {
                if (each.size() != series[0].size()) {
                    return S::lengths_differ;
                }
            }
        }
        return KernelStatus::ok();
    }

    // Before a state's first bar, what the kernel reads of its series first.
    template <class S = E>
    static void begin(typename S::State& s, const typename S::Settings& p,
                      const Series<S>& series) noexcept {
        if constexpr (requires { S::start(s, p, series); }) {
            S::start(s, p, series);
        }
    }

    // A stream's bar and a stream's batch of bars.
    template <class S = E>
    [[nodiscard]] static double step(typename S::State& s, const typename S::Settings& p,
                                     const double* bar) noexcept {
        Series<S> one;
        for (std::size_t k = 0; k < series_count<S>; ++k) {
            one[k] = std::span(bar + k, 1);
        }
        begin<S>(s, p, one);
        return advance(typename S::template Kernel<OneLane>(p), s, bar);
    }
    template <class Out, class S = E, class... Spans>
    [[nodiscard]] static KernelStatus
    extend(Out& out, typename S::State& s, const typename S::Settings& p, Spans... spans) noexcept {
        const Series<S> series{spans...};
        if (KernelStatus lengths = same_lengths(series); lengths.failed()) {
            return lengths;
        }
        begin<S>(s, p, series);
        pass(out, s, p, series);
        return KernelStatus::ok();
    }

    // The whole-series kernel: the lengths, then the scalars, checked once
    // each, then the kernel from a new state (from `seed` where given).
    template <class Out, class... Arguments>
    [[nodiscard]] static KernelStatus whole(Out& out, const std::optional<double>& seed,
                                            Arguments... arguments) noexcept {
        return [&]<std::size_t... S, std::size_t... R>(std::index_sequence<S...>,
                                                       std::index_sequence<R...>) {
            const auto all = std::tuple<Arguments...>(arguments...);
            const Series<> series{std::get<S>(all)...};
            if (KernelStatus lengths = same_lengths(series); lengths.failed()) {
                return lengths;
            }
            Result<typename E::Settings, KernelError> made =
                E::settings(std::get<series_count<E> + R>(all)...);
            if (made.failed()) {
                return KernelStatus(made.error());
            }
            typename E::Settings p = made.value();
            if constexpr (requires { E::with_seed(p, 0.0); }) {
                if (seed) {
                    p = E::with_seed(p, *seed);
                }
            }
            typename E::State s{};
            begin(s, p, series);
            pass(out, s, p, series);
            return KernelStatus::ok();
        }(std::make_index_sequence<series_count<E>>{},
               std::make_index_sequence<sizeof...(Arguments) - series_count<E>>{});
    }

    // The first rows of `b` side by side in vector lanes (rows.hpp), none when
    // the scalars would be refused (the row-by-row loop then reports it).
    template <class... Arguments>
    [[nodiscard]] static std::size_t rows(RowBlock b, const std::optional<double>& seed,
                                          Arguments... arguments) noexcept;

    template <class Out, class J> struct Signature;
    template <class Out, std::size_t... J> struct Signature<Out, std::index_sequence<J...>> {
        static KernelStatus run(Out& out, ArgumentOf<E::parameters[J].kind>... a) noexcept {
            return whole(out, std::nullopt, a...);
        }
    };
    template <class Out>
    static constexpr auto kernel =
        &Signature<Out, std::make_index_sequence<E::parameters.size()>>::run;
};

// What ADX and the directional movement share: the one pass, its inputs, its
// state and its checks. `Directional` passes give every value of the pass.
template <bool Directional> struct AdxPass {
    static constexpr std::array parameters = {
        Parameter{.name = "high", .kind = Kind::series},
        Parameter{.name = "low", .kind = Kind::series},
        Parameter{.name = "close", .kind = Kind::series},
        Parameter{.name = "period", .kind = Kind::count},
    };
    template <class L> using Kernel = AdxKernel<L, Directional>;
    using State = AdxState<double>;
    using Settings = AdxParameters;
    static constexpr auto fields =
        std::tuple{&State::high,    &State::low,      &State::close, &State::atr,
                   &State::plus_dm, &State::minus_dm, &State::adx,   &State::bars};
    static constexpr KernelError lengths_differ = KernelError::adx_lengths_differ;
    [[nodiscard]] static Result<Settings, KernelError> settings(std::uint64_t period) noexcept {
        if (period == 0) {
            return KernelError::adx_zero_period;
        }
        const double w = 1.0 / static_cast<double>(period);
        return AdxParameters{w, 1.0 - w};
    }
    template <class Out, class Series>
    static void tuned_pass(Out& out, State& s, const Settings& p, const Series& series) noexcept {
        adx_extend<Directional>(out, s, p, series[0], series[1], series[2]);
    }
    // A row of a panel is read and written where it lies, with the divisions
    // of a block of bars in one instruction on AVX2 and AVX-512; the rows
    // transposed into lanes and back measured 1.4-1.8x slower on every x86-64
    // path (ADX over 500 x 2,520 and 5,000 x 252).
    static constexpr bool rows_in_lanes = false;
};

struct AdxIndicator : AdxPass<false>, Entry<AdxIndicator> {
    static constexpr std::string_view stem = "adx";
    static constexpr std::string_view summary =
        "Average Directional Index of each bar, smoothed with weight 1/period from 0.0\n"
        "at bar 0 (no warm-up). high, low and close have one shape; period >= 1.";
    // The array functions' docstring example, run by the tests as a doctest.
    static constexpr std::string_view array_example =
        ">>> import numpy as np, tarnwick_arrays as ta\n"
        ">>> ta.adx(np.array([10.0, 11.0, 12.0, 11.5]), np.array([9.0, 9.5, 10.5, 10.0]),\n"
        "...        np.array([9.5, 10.5, 11.5, 10.5]), 2)\n"
        "array([ 0. , 50. , 75. , 47.5])";
    static constexpr std::string_view type_name = "Adx";
};

// What the stop and its trend share: the one pass, its inputs, its state.
// `Trend` passes give the state after each bar beside the stop.
template <bool Trend> struct SarPass {
    static constexpr std::array parameters = {
        Parameter{.name = "high", .kind = Kind::series},
        Parameter{.name = "low", .kind = Kind::series},
        Parameter{.name = "af_step", .kind = Kind::real},
        Parameter{.name = "af_max", .kind = Kind::real},
    };
    template <class L> using Kernel = SarKernel<L, Trend>;
    using State = SarSeriesState;
    using Settings = SarParameters;
    static constexpr auto fields = std::tuple{&State::rising, &State::sar, &State::ep,  &State::af,
                                              &State::high,   &State::low, &State::bars};
    static constexpr KernelError lengths_differ = KernelError::sar_lengths_differ;
    [[nodiscard]] static Result<Settings, KernelError> settings(double af_step,
                                                                double af_max) noexcept {
        return SarParameters{af_step, af_max, sar_start_factor(af_step)};
    }
    template <class Out, class Series>
    static void tuned_pass(Out& out, State& s, const Settings& p, const Series& series) noexcept {
        sar_extend<Trend>(out, s, p, series[0], series[1]);
    }
};

struct ParabolicSarIndicator : SarPass<false>, Entry<ParabolicSarIndicator> {
    static constexpr std::string_view stem = "parabolic_sar";
    static constexpr std::string_view summary =
        "Parabolic Stop-and-Reverse level of each bar, starting in an up-trend at low[0],\n"
        "the factor growing by af_step at each new extreme up to af_max.";
    static constexpr std::string_view array_example =
        ">>> import numpy as np, tarnwick_arrays as ta\n"
        ">>> ta.parabolic_sar(np.array([10.0, 11.0, 12.0, 11.5]),\n"
        "...                  np.array([9.0, 9.5, 10.5, 10.0]), 0.25, 0.5)\n"
        "array([ 9. ,  9. ,  9.5, 12. ])";
    static constexpr std::string_view type_name = "ParabolicSar";
};

struct Garch11VarianceIndicator : Entry<Garch11VarianceIndicator> {
    static constexpr std::string_view stem = "garch11_variance";
    static constexpr std::array parameters = {
        Parameter{.name = "returns", .kind = Kind::series},
        Parameter{.name = "omega", .kind = Kind::real, .per_series = true},
        Parameter{.name = "alpha", .kind = Kind::real, .per_series = true},
        Parameter{.name = "beta", .kind = Kind::real, .per_series = true},
    };
    static constexpr std::string_view summary =
        "GARCH(1,1) conditional variance: v[i] = max(0, v[i-1] * beta + ((alpha * r[i]) * r[i]\n"
        "+ omega)), seeded with the mean of the squared returns. v[i] already contains r[i]:\n"
        "it is the variance forecast for the next period.";
    static constexpr std::string_view array_example =
        ">>> import numpy as np, tarnwick_arrays as ta\n"
        ">>> ta.garch11_variance(np.array([0.03, -0.01, 0.02]), 1e-05, 0.1, 0.85).tolist()\n"
        "[0.0004966666666666666, 0.0004421666666666666, 0.00042584166666666663]";

    // A stream seeds itself from the first returns it is given (a history
    // passed to extend, or the first update's return), exactly as the
    // whole-series kernel seeds from its series, unless it was given a seed.
    static constexpr std::string_view type_name = "Garch11Variance";
    template <class L> using Kernel = Garch11Kernel<L>;
    using State = Garch11State<double>;
    using Settings = Garch11Parameters;
    static constexpr auto fields = std::tuple{&State::variance, &State::seed, &State::bars};
    [[nodiscard]] static Result<Settings, KernelError> settings(double omega, double alpha,
                                                                double beta) noexcept {
        return Garch11Parameters{omega, alpha, beta};
    }
    // The optional `seed`: where given, the seed instead of the mean of
    // squares.
    [[nodiscard]] static Settings with_seed(Settings p, double seed) noexcept {
        p.seeded = true;
        p.seed = seed;
        return p;
    }
    static void seed_with(State& s, double seed) noexcept { garch11_seed_state(s, seed); }
    template <class Out>
    [[nodiscard]] static KernelStatus seeded_kernel(Out& out, double seed,
                                                    std::span<const double> returns, double omega,
                                                    double alpha, double beta) noexcept {
        return whole(out, seed, returns, omega, alpha, beta);
    }
    // A state not yet seeded, from the series it starts with.
    template <class Series>
    static void start(State& s, const Settings& p, const Series& series) noexcept {
        if (s.bars == 0 && s.seed != s.seed && !series[0].empty()) {
            const Kernel<OneLane> kernel(p);
            double sum = kernel.ahead();
            for (std::size_t i = 0; kernel.looks_ahead() && i < series[0].size(); ++i) {
                kernel.look(sum, &series[0][i]);
            }
            kernel.begin(s, sum, series[0].size());
        }
    }
};

using Catalogue = IndicatorList<AdxIndicator, ParabolicSarIndicator, Garch11VarianceIndicator>;

// Indicators of several values per bar, one per name of `outputs`, returned
// by tarnwick_arrays as a named tuple of type `tuple_name`; the pass is their
// single-valued kin's, which stores its one value and no other.
struct DirectionalMovementIndicator : AdxPass<true>, Entry<DirectionalMovementIndicator> {
    static constexpr std::string_view stem = "directional_movement";
    static constexpr std::string_view tuple_name = "DirectionalMovement";
    static constexpr std::array<std::string_view, 5> outputs = {"plus_di", "minus_di", "dx", "adx",
                                                                "atr"};
    static constexpr std::string_view summary =
        "The values of the ADX pass for each bar: plus_di = (S(+DM) * 100) / atr and\n"
        "minus_di likewise (0 unless atr > 0), dx = (|plus_di - minus_di| * 100) /\n"
        "(plus_di + minus_di) (0 unless that sum > 0), adx as adx() gives it, and\n"
        "atr = S(TR), each smoothed with weight 1/period from 0.0 at bar 0 (no warm-up).\n"
        "Wilder's DMI reads them together: +DI crossing above -DI with ADX above 25.\n"
        "Returns DirectionalMovement(plus_di, minus_di, dx, adx, atr), each field what\n"
        "adx() returns for the same inputs.";
    static constexpr std::string_view array_example =
        ">>> import numpy as np, tarnwick_arrays as ta\n"
        ">>> dm = ta.directional_movement(np.array([10.0, 11.0, 12.0, 11.5]),\n"
        "...     np.array([9.0, 9.5, 10.5, 10.0]), np.array([9.5, 10.5, 11.5, 10.5]), 2)\n"
        ">>> dm.dx, dm.atr\n"
        "(array([  0., 100., 100.,  20.]), array([0.    , 0.75  , 1.125 , 1.3125]))";
    static constexpr std::string_view type_name = "DirectionalMovement";
};

struct ParabolicSarTrendIndicator : SarPass<true>, Entry<ParabolicSarTrendIndicator> {
    static constexpr std::string_view stem = "parabolic_sar_trend";
    static constexpr std::string_view tuple_name = "ParabolicSarTrend";
    static constexpr std::array<std::string_view, 4> outputs = {"sar", "trend", "extreme",
                                                                "factor"};
    static constexpr std::string_view summary =
        "The Parabolic SAR with the state each bar leaves: sar as parabolic_sar() gives\n"
        "it; trend +1.0 rising, -1.0 falling; extreme, the trend's extreme point; factor,\n"
        "the acceleration factor, from which the next bar's stop is computed.\n"
        "trend is float64 like the other fields, so that every field has one dtype and\n"
        "a bar left out under nan_policy='omit' is NaN in each.\n"
        "Returns ParabolicSarTrend(sar, trend, extreme, factor).";
    static constexpr std::string_view array_example =
        ">>> import numpy as np, tarnwick_arrays as ta\n"
        ">>> t = ta.parabolic_sar_trend(np.array([10.0, 11.0, 12.0, 11.5]),\n"
        "...                            np.array([9.0, 9.5, 10.5, 10.0]), 0.25, 0.5)\n"
        ">>> t.sar, t.trend\n"
        "(array([ 9. ,  9. ,  9.5, 12. ]), array([ 1.,  1.,  1., -1.]))\n"
        ">>> t.extreme, t.factor\n"
        "(array([10., 11., 12., 10.]), array([0.25, 0.5 , 0.5 , 0.25]))";
    static constexpr std::string_view type_name = "ParabolicSarTrend";
};

// The indicator of several values per bar whose pass is `E`'s, if any: a
// stream of `E` reads its other values from the state each bar leaves
// (Kernel::value_of), `value_field` being the one `E` gives.
template <class E> struct ManyValuedKin {
    using type = void;
};
template <> struct ManyValuedKin<AdxIndicator> {
    using type = DirectionalMovementIndicator;
    static constexpr std::size_t value_field = 3;
};
template <> struct ManyValuedKin<ParabolicSarIndicator> {
    using type = ParabolicSarTrendIndicator;
    static constexpr std::size_t value_field = 0;
};

// Indicators added since tarnwick's list functions were frozen: offered by
// tarnwick_arrays and tarnwick_stream, not by tarnwick. A new indicator is
// one name here.
using ArraysAndStreamsOnly = IndicatorList<>;

// What tarnwick_stream offers: the catalogue, then the indicators above.
using StreamCatalogue = decltype(followed_by(Catalogue{}, ArraysAndStreamsOnly{}));

// What tarnwick_arrays offers and the lanes run: the catalogue, the
// indicators of several values, then the indicators above.
using ArrayCatalogue = decltype(followed_by(
    IndicatorList<AdxIndicator, ParabolicSarIndicator, Garch11VarianceIndicator,
                  DirectionalMovementIndicator, ParabolicSarTrendIndicator>{},
    ArraysAndStreamsOnly{}));

// What an entry declares; the rest of its surface is Entry's.
template <class E>
concept Indicator =
    requires {
        { E::stem } -> std::convertible_to<std::string_view>;
        { E::type_name } -> std::convertible_to<std::string_view>;
        { E::summary } -> std::convertible_to<std::string_view>;
        { E::array_example } -> std::convertible_to<std::string_view>;
        { E::parameters[0] } -> std::convertible_to<Parameter>;
        std::tuple_size<decltype(E::fields)>::value;
        typename E::Settings;
    } && std::derived_from<E, Entry<E>> && series_count<E> > 0 &&
    std::same_as<typename E::template Kernel<OneLane>::State, typename E::State>&&
            E::template Kernel<OneLane>::inputs == series_count<E> &&
    (series_count<E> == 1 || std::same_as<decltype(E::lengths_differ), const KernelError>);

template <class... I> consteval bool all_indicators(IndicatorList<I...>) {
    return (Indicator<I> && ...);
}
static_assert(all_indicators(ArrayCatalogue{}));

template <class E>
template <class... Arguments>
std::size_t Entry<E>::rows(RowBlock b, const std::optional<double>& seed,
                           Arguments... arguments) noexcept {
    return [&]<std::size_t... S, std::size_t... R>(std::index_sequence<S...>,
                                                   std::index_sequence<R...>)
               -> std::size_t {
        const auto all = std::tuple<Arguments...>(arguments...);
        Result<typename E::Settings, KernelError> made =
            E::settings(std::get<series_count<E> + R>(all)...);
        if (made.failed()) {
            return 0;
        }
        typename E::Settings p = made.value();
        if constexpr (requires { E::with_seed(p, 0.0); }) {
            if (seed) {
                p = E::with_seed(p, *seed);
            }
        }
        const double* series[] = {std::get<S>(all).data()...};
        b.series = series;
        return compute_rows(b, position_of<E>(ArrayCatalogue{}), &p);
    }(std::make_index_sequence<series_count<E>>{},
               std::make_index_sequence<sizeof...(Arguments) - series_count<E>>{});
}

} // namespace tarnwick::TARNWICK_TARGET

namespace tarnwick {

using TARNWICK_TARGET::ArrayCatalogue;
using TARNWICK_TARGET::Catalogue;
using TARNWICK_TARGET::ManyValuedKin;
using TARNWICK_TARGET::StreamCatalogue;

// Text made at compile time, null-terminated, for names that a binding
// derives from a stem.
template <std::size_t N> struct FixedText {
    char text[N + 1] = {};
    [[nodiscard]] constexpr std::string_view view() const noexcept { return {text, N}; }
};

template <std::size_t N, class... Parts> consteval FixedText<N> joined(Parts... parts) {
    FixedText<N> out;
    std::size_t at = 0;
    for (const std::string_view part : {std::string_view(parts)...}) {
        for (const char c : part) {
            out.text[at++] = c;
        }
    }
    return out;
}

} // namespace tarnwick
