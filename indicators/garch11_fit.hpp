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
// The arithmetic that runs once per return is written for a value type T
// (double: one series; a vector of doubles: one series per lane).
#pragma once

#include "exact_log.hpp"
#include "garch11.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace tarnwick {

// log(2 pi), correctly rounded.
inline constexpr double log_two_pi = std::bit_cast<double>(std::uint64_t{0x3ffd67f1c864beb5});

// The floored step of garch11_step, for any value type.
template <class T>
[[nodiscard]] inline T garch11_next(T s, T r, T omega, T alpha, T beta) noexcept {
    const T t = s * beta + ((alpha * r) * r + omega);
    return t > T(0.0) ? t : T(0.0);
}

// One return's term of acc (above).
template <class T> [[nodiscard]] inline T garch11_loglik_term(T s, T r) noexcept {
    return (T(log_two_pi) + exact_log(s)) + (r * r) / s;
}

// The log-likelihood of `returns` from `seed`, taken as given (callers apply
// the 1e-8 rule of garch11_seed_from first). An empty series gives -0.0.
template <class T>
[[nodiscard]] T garch11_loglik(std::span<const double> returns, T omega, T alpha, T beta,
                               T seed) noexcept {
    T acc = T(0.0);
    T s = seed;
    for (const double value : returns) {
        const T r = T(value);
        acc = acc + garch11_loglik_term(s, r);
        s = garch11_next(s, r, omega, alpha, beta);
    }
    return T(-0.5) * acc;
}

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

// Maximises the log-likelihood over omega > 0, alpha >= 0, beta >= 0,
// alpha + beta < 1, from `seed` (taken through garch11_seed_from) or, when
// none is given, the mean of the squared returns. `returns` must pass
// garch11_fit_refusal. `scratch` holds 2 * returns.size() doubles.
[[nodiscard]] Garch11Fit garch11_fit(std::span<const double> returns, std::optional<double> seed,
                                     std::span<double> scratch) noexcept;

} // namespace tarnwick
