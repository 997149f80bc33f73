// SPDX-License-Identifier: MIT
// The catalogue of indicators: for each, its stem name, its parameters with
// the kind of value each converts to, its kernel and its documentation, and
// how it runs as a stream. It is the one description every binding maps:
// tarnwick names each function native_<stem> and returns lists,
// tarnwick_arrays names it <stem> and returns arrays, tarnwick_stream makes
// a type named `type_name` from the scalar parameters, which takes the
// series parameters a bar at a time. A new indicator is a kernel and one
// entry here.
//
// The series parameters come first. As a stream, an indicator names its
// kernel's `State` and the `Settings` made from the scalar parameters
// (`settings`, which refuses what the kernel refuses), a `step` over one bar
// and an `extend` over many that continue a state with the same bits, and
// the state's `fields`, which a pickle records one word each. For arrays of
// one series per row, `rows` runs rows side by side in vector lanes
// (indicators/rows.hpp), from a block whose series it fills from the first
// row's: it returns how many rows from the first it did, none when the
// kernel would refuse the scalars (the row-by-row loop then reports it).
#pragma once

#include "../indicators/adx.hpp"
#include "../indicators/garch11.hpp"
#include "../indicators/parabolic_sar.hpp"
#include "../indicators/rows.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <tuple>

namespace tarnwick {

// What a parameter converts to: a series of doubles (extract_float_series),
// a double (extract_float) or a count from 0 to 2**64 - 1 (extract_index).
enum class Kind : unsigned char { series, real, count };

struct Parameter {
    std::string_view name;
    Kind kind;
};

struct AdxIndicator {
    static constexpr std::string_view stem = "adx";
    static constexpr std::array parameters = {
        Parameter{.name = "high", .kind = Kind::series},
        Parameter{.name = "low", .kind = Kind::series},
        Parameter{.name = "close", .kind = Kind::series},
        Parameter{.name = "period", .kind = Kind::count},
    };
    template <class Out> static constexpr auto kernel = &compute_adx<Out>;
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
    using State = AdxState;
    using Settings = AdxParameters;
    static constexpr auto fields =
        std::tuple{&AdxState::high,    &AdxState::low,      &AdxState::close, &AdxState::atr,
                   &AdxState::plus_dm, &AdxState::minus_dm, &AdxState::adx,   &AdxState::bars};
    [[nodiscard]] static Result<Settings, KernelError> settings(std::uint64_t period) noexcept {
        if (period == 0) {
            return KernelError::adx_zero_period;
        }
        return AdxParameters::of_period(period);
    }
    [[nodiscard]] static double step(State& s, const Settings& p, const double* bar) noexcept {
        return adx_step(s, p, bar[0], bar[1], bar[2]);
    }
    template <class Out>
    [[nodiscard]] static KernelStatus
    extend(Out& out, State& s, const Settings& p, std::span<const double> high,
           std::span<const double> low, std::span<const double> close) noexcept {
        if (low.size() != high.size() || close.size() != high.size()) {
            return KernelError::adx_lengths_differ;
        }
        adx_extend(out, s, p, high, low, close);
        return KernelStatus::ok();
    }
    [[nodiscard]] static std::size_t rows(RowBlock b, const double*, std::span<const double> high,
                                          std::span<const double> low,
                                          std::span<const double> close,
                                          std::uint64_t period) noexcept {
        if (period == 0) {
            return 0;
        }
        b.series[0] = high.data();
        b.series[1] = low.data();
        b.series[2] = close.data();
        return compute_rows(b, AdxParameters::of_period(period));
    }
};

struct ParabolicSarIndicator {
    static constexpr std::string_view stem = "parabolic_sar";
    static constexpr std::array parameters = {
        Parameter{.name = "high", .kind = Kind::series},
        Parameter{.name = "low", .kind = Kind::series},
        Parameter{.name = "af_step", .kind = Kind::real},
        Parameter{.name = "af_max", .kind = Kind::real},
    };
    template <class Out> static constexpr auto kernel = &compute_parabolic_sar<Out>;
    static constexpr std::string_view summary =
        "Parabolic Stop-and-Reverse level of each bar, starting in an up-trend at low[0],\n"
        "the factor growing by af_step at each new extreme up to af_max.";
    static constexpr std::string_view array_example =
        ">>> import numpy as np, tarnwick_arrays as ta\n"
        ">>> ta.parabolic_sar(np.array([10.0, 11.0, 12.0, 11.5]),\n"
        "...                  np.array([9.0, 9.5, 10.5, 10.0]), 0.25, 0.5)\n"
        "array([ 9. ,  9. ,  9.5, 12. ])";

    static constexpr std::string_view type_name = "ParabolicSar";
    using State = SarState;
    using Settings = SarParameters;
    static constexpr auto fields =
        std::tuple{&SarState::rising, &SarState::sar, &SarState::ep,  &SarState::af,
                   &SarState::high,   &SarState::low, &SarState::bars};
    [[nodiscard]] static Result<Settings, KernelError> settings(double af_step,
                                                                double af_max) noexcept {
        return SarParameters::of(af_step, af_max);
    }
    [[nodiscard]] static double step(State& s, const Settings& p, const double* bar) noexcept {
        return sar_step(s, p, bar[0], bar[1]);
    }
    template <class Out>
    [[nodiscard]] static KernelStatus extend(Out& out, State& s, const Settings& p,
                                             std::span<const double> high,
                                             std::span<const double> low) noexcept {
        if (high.size() != low.size()) {
            return KernelError::sar_lengths_differ;
        }
        sar_extend(out, s, p, high, low);
        return KernelStatus::ok();
    }
    [[nodiscard]] static std::size_t rows(RowBlock b, const double*, std::span<const double> high,
                                          std::span<const double> low, double af_step,
                                          double af_max) noexcept {
        b.series[0] = high.data();
        b.series[1] = low.data();
        return compute_rows(b, SarParameters::of(af_step, af_max));
    }
};

struct Garch11VarianceIndicator {
    static constexpr std::string_view stem = "garch11_variance";
    static constexpr std::array parameters = {
        Parameter{.name = "returns", .kind = Kind::series},
        Parameter{.name = "omega", .kind = Kind::real},
        Parameter{.name = "alpha", .kind = Kind::real},
        Parameter{.name = "beta", .kind = Kind::real},
    };
    template <class Out> static constexpr auto kernel = &compute_garch11_variance<Out>;
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
    using State = Garch11State;
    using Settings = Garch11Parameters;
    static constexpr auto fields =
        std::tuple{&Garch11State::variance, &Garch11State::seed, &Garch11State::bars};
    [[nodiscard]] static Result<Settings, KernelError> settings(double omega, double alpha,
                                                                double beta) noexcept {
        return Garch11Parameters{omega, alpha, beta};
    }
    static void seed_with(State& s, double seed) noexcept { garch11_seed_state(s, seed); }
    // The whole-series kernel from a given seed instead of the mean of squares.
    template <class Out>
    [[nodiscard]] static KernelStatus seeded_kernel(Out& out, double seed,
                                                    std::span<const double> returns, double omega,
                                                    double alpha, double beta) noexcept {
        State s;
        seed_with(s, seed);
        garch11_extend(out, s, {omega, alpha, beta}, returns);
        return KernelStatus::ok();
    }
    static void seed_if_new(State& s, std::span<const double> returns) noexcept {
        if (s.bars == 0 && s.seed != s.seed && !returns.empty()) {
            garch11_seed_state(s, garch11_seed(returns));
        }
    }
    [[nodiscard]] static double step(State& s, const Settings& p, const double* bar) noexcept {
        seed_if_new(s, std::span(bar, 1));
        return garch11_step(s, p, bar[0]);
    }
    template <class Out>
    [[nodiscard]] static KernelStatus extend(Out& out, State& s, const Settings& p,
                                             std::span<const double> returns) noexcept {
        seed_if_new(s, returns);
        garch11_extend(out, s, p, returns);
        return KernelStatus::ok();
    }
    // From `seed` when it is not null, as seeded_kernel.
    [[nodiscard]] static std::size_t rows(RowBlock b, const double* seed,
                                          std::span<const double> returns, double omega,
                                          double alpha, double beta) noexcept {
        b.series[0] = returns.data();
        return compute_rows(b, {omega, alpha, beta}, seed);
    }
};

// Every indicator, in registration order.
template <class... Indicators> struct IndicatorList {
    static constexpr std::size_t size = sizeof...(Indicators);
};
using Catalogue = IndicatorList<AdxIndicator, ParabolicSarIndicator, Garch11VarianceIndicator>;

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
