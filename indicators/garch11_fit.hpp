// SPDX-License-Identifier: MIT
// GARCH(1,1) by maximum likelihood: the Gaussian log-likelihood of zero-mean
// returns under the variance recursion of garch11.hpp, its maximisation, and
// forecasts of the variance ahead.
//
// The variance of r[t] is s[t]: s[0] is the seed, s[t+1] the variance
// garch11_step gives after r[t], so a fit and garch11_variance describe the
// same process bit for bit. The log-likelihood is
//   loglik = -0.5 * acc,  acc = sum over t, in index order, of
//            (log(2 pi) + log(s[t])) + (r[t] * r[t]) / s[t]
// with one accumulator starting at +0.0 and log the exact_log of
// exact_log.hpp, each operation rounded in that order.
//
// The arithmetic that runs once per return is written over a lane set
// (lane_ops.hpp: OneLane for one series, a vector of doubles for one series
// per lane), each lane the same operations.
#pragma once

#include "exact_log.hpp"
#include "garch11.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace tarnwick {

// log(2 pi), correctly rounded.
inline constexpr double log_two_pi = std::bit_cast<double>(std::uint64_t{0x3ffd67f1c864beb5});

} // namespace tarnwick

namespace tarnwick::TARNWICK_TARGET {

// The floored step of garch11_step, lane by lane (L a lane set of
// lane_ops.hpp; OneLane is one series).
template <class L, class V = typename L::V>
[[nodiscard]] TARNWICK_LANE_INLINE V garch11_next(V s, V r, V omega, V alpha, V beta) noexcept {
    const V t = s * beta + ((alpha * r) * r + omega);
    return select(L::splat(0.0) < t, t, L::splat(0.0));
}

// The log-likelihood of L::width series from their seeds, taken as given
// (callers apply the 1e-8 rule of garch11_seed_from first): return t of the
// series in lane j is returns[t * L::width + j]. No returns give -0.0.
template <class L, class V = typename L::V>
[[nodiscard]] V garch11_loglik_lanes(const double* returns, std::size_t n, V omega, V alpha, V beta,
                                     V seed) noexcept {
    V acc = L::splat(0.0);
    V s = seed;
    for (std::size_t t = 0; t < n; ++t) {
        const V r = L::load(returns + t * L::width);
        acc = acc + ((L::splat(log_two_pi) + exact_log_lanes<L>(s)) + (r * r) / s);
        s = garch11_next<L>(s, r, omega, alpha, beta);
    }
    return L::splat(-0.5) * acc;
}

// The log-likelihood of one series.
[[nodiscard]] inline double garch11_loglik(std::span<const double> returns, double omega,
                                           double alpha, double beta, double seed) noexcept {
    return garch11_loglik_lanes<OneLane>(returns.data(), returns.size(), omega, alpha, beta, seed);
}

} // namespace tarnwick::TARNWICK_TARGET

namespace tarnwick {

using TARNWICK_TARGET::garch11_loglik;

// The variance forecast for the next `out.size()` periods from `variance`,
// the last variance of the recursion (which already contains the last
// return): f[1] = variance, f[k+1] = max(0, f[k] * beta + (alpha * f[k] + omega)).
void garch11_forecast(std::span<double> out, double variance, const Garch11Parameters& p) noexcept;

// What a fit found, in the caller's units.
struct Garch11Fit {
    double omega = quiet_nan;
    double alpha = quiet_nan;
    double beta = quiet_nan;
    double loglik = quiet_nan;
    double seed = quiet_nan;      // the variance before the first return
    std::uint32_t iterations = 0; // Newton steps of the start that was kept
    bool converged = false;
};

// The seven fields in the order above, iterations and converged as exact
// doubles (a panel's results and the recorded vectors hold them so).
[[nodiscard]] inline std::array<double, 7> garch11_fit_fields(const Garch11Fit& f) noexcept {
    return {f.omega,
            f.alpha,
            f.beta,
            f.loglik,
            f.seed,
            static_cast<double>(f.iterations),
            f.converged ? 1.0 : 0.0};
}

// Why a series cannot be fitted.
enum class Garch11FitRefusal : unsigned char {
    none,
    too_short,    // fewer than garch11_fit_min_returns returns
    no_variation, // every squared return is the same: nothing identifies the parameters
};

inline constexpr std::size_t garch11_fit_min_returns = 10;

// Whether `returns` can be fitted. Series holding NaN or infinity are not
// refused here: their fit is NaN and not converged.
[[nodiscard]] Garch11FitRefusal garch11_fit_refusal(std::span<const double> returns) noexcept;

[[nodiscard]] constexpr std::size_t garch11_fit_scratch(std::size_t length) noexcept {
    return 6 * length;
}

// Maximises the log-likelihood over omega > 0, alpha >= 0, beta >= 0,
// alpha + beta < 1, from `seed` (taken through garch11_seed_from) or, when
// none is given, the mean of the squared returns. `returns` must pass
// garch11_fit_refusal. `scratch` holds garch11_fit_scratch(returns.size())
// doubles.
[[nodiscard]] Garch11Fit garch11_fit(std::span<const double> returns, std::optional<double> seed,
                                     std::span<double> scratch) noexcept;

// The series of a panel, one at a time: series r is copied into a buffer
// of longest() doubles when it is needed, so that the panel's own layout
// never matters.
class Garch11Rows {
  public:
    [[nodiscard]] virtual std::size_t count() const noexcept = 0;
    [[nodiscard]] virtual std::size_t longest() const noexcept = 0;
    // Whether every series has longest() returns.
    [[nodiscard]] virtual bool one_length() const noexcept = 0;
    [[nodiscard]] virtual std::span<const double> row(std::size_t r,
                                                      double* buffer) const noexcept = 0;
    // The weights of series r, for its likelihood, and the seed the caller
    // gave it, if any.
    [[nodiscard]] virtual Garch11Parameters parameters(std::size_t r) const noexcept = 0;

  protected:
    Garch11Rows() = default;
    Garch11Rows(const Garch11Rows&) = default;
    Garch11Rows& operator=(const Garch11Rows&) = default;
    ~Garch11Rows() = default;
};

// Where garch11_fit_rows puts series r's fit.
class Garch11FitSink {
  public:
    virtual void put(std::size_t r, const Garch11Fit& fit) noexcept = 0;

  protected:
    Garch11FitSink() = default;
    Garch11FitSink(const Garch11FitSink&) = default;
    Garch11FitSink& operator=(const Garch11FitSink&) = default;
    ~Garch11FitSink() = default;
};

// The doubles of scratch garch11_fit_rows and garch11_loglik_rows need for
// series of at most `longest` returns.
[[nodiscard]] std::size_t garch11_rows_scratch(std::size_t longest) noexcept;

// out.put(r, garch11_fit(series r, the seed given it)), bit for bit, with the
// likelihoods of several runs (a series from one of the fit's starts) of
// one length computed at once in vector lanes (TARNWICK_LANES=scalar steps
// one run at a time). Each run steps on its own; one that has ended hands
// its lane to the next. A series of another length waits until the lanes
// empty, so series of one length are best given together.
void garch11_fit_rows(const Garch11Rows& rows, Garch11FitSink& out,
                      std::span<double> scratch) noexcept;

// out[r] = garch11_loglik of series r at its parameters, from its seed
// under the 1e-8 rule or, when none is given, garch11_seed of it (0 for no
// returns); two series at a time in vector lanes when all have one length.
void garch11_loglik_rows(const Garch11Rows& rows, std::span<double> out,
                         std::span<double> scratch) noexcept;

// A wider instruction set's garch11_fit_rows and garch11_loglik_rows, from
// a translation unit of its own: null where this build has none.
struct Garch11WideLanes {
    std::size_t lanes;
    void (*fit)(const Garch11Rows&, Garch11FitSink&, std::span<double>) noexcept;
    void (*loglik)(const Garch11Rows&, std::span<double>, std::span<double>) noexcept;
};

} // namespace tarnwick
