// SPDX-License-Identifier: MIT
// The fit is a projected Newton method with the exact gradient and Hessian
// of the recursion, from a fixed list of starting points, so that every step
// is a fixed sequence of IEEE operations and the result is the same on every
// platform.
//
// Scale: returns of any size are multiplied by a power of two c that brings
// the mean of their squares into [1, 4). Every product and sum of the
// recursion then scales by c^2 exactly, so the fit on the scaled returns is
// the fit on the caller's (omega divided by c^2 on the way out), and the
// optimiser's tolerances mean the same at every scale.
//
// Parameters: x = (omega, p, q) with p = alpha + beta and q the share of
// alpha in it: alpha = p * q, beta = p - alpha. The constraints are then a
// box, omega >= omega_floor, 0 <= p <= p_ceiling, 0 <= q <= 1, and a
// boundary optimum (alpha = 0 is q = 0) is a bound the projection lands on
// exactly.
#include "garch11_fit.hpp"

#include <array>
#include <cmath>

namespace tarnwick {

void garch11_forecast(std::span<double> out, double variance, const Garch11Parameters& p) noexcept {
    double f = variance;
    for (double& o : out) {
        o = stored(f);
        const double t = f * p.beta + (p.alpha * f + p.omega);
        f = t > 0.0 ? t : 0.0;
    }
}

Garch11FitRefusal garch11_fit_refusal(std::span<const double> returns) noexcept {
    if (returns.size() < garch11_fit_min_returns) {
        return Garch11FitRefusal::too_short;
    }
    const double first = returns[0] * returns[0];
    for (const double r : returns) {
        // NaN compares unequal, so a series holding one is never refused here.
        if (!(r * r == first)) {
            return Garch11FitRefusal::none;
        }
    }
    return Garch11FitRefusal::no_variation;
}

namespace {

// Minus twice the log-likelihood without its constant, F = sum of
// log(s) + r^2 / s, with its gradient and Hessian in theta = (omega, alpha,
// beta). The Hessian is packed: oo, oa, ob, aa, ab, bb.
template <class T> struct Objective {
    T value;
    std::array<T, 3> gradient;
    std::array<T, 6> hessian;
};

// The variances first, a chain of one product and one sum per return, into
// `variances`; then everything else, whose returns are independent of one
// another but for the running sums, so that the logarithms overlap.
template <class T>
Objective<T> objective(std::span<const double> returns, T omega, T alpha, T beta, T seed,
                       T* variances) noexcept {
    T s = seed;
    for (std::size_t i = 0; i < returns.size(); ++i) {
        variances[i] = s;
        s = garch11_next(s, T(returns[i]), omega, alpha, beta);
    }
    Objective<T> o{
        T(0.0), {T(0.0), T(0.0), T(0.0)}, {T(0.0), T(0.0), T(0.0), T(0.0), T(0.0), T(0.0)}};
    // First derivatives of s in omega, alpha, beta; second derivatives in
    // (beta, omega), (beta, alpha), (beta, beta), the only ones not zero.
    T so = T(0.0), sa = T(0.0), sb = T(0.0);
    T sbo = T(0.0), sba = T(0.0), sbb = T(0.0);
    for (std::size_t i = 0; i < returns.size(); ++i) {
        const T r = T(returns[i]);
        s = variances[i];
        const T rr = r * r;
        const T inv = T(1.0) / s;
        const T ratio = rr * inv;
        o.value = o.value + (exact_log(s) + ratio);
        const T u = (T(1.0) - ratio) * inv;                 // dF/ds
        const T v = ((ratio + ratio) - T(1.0)) * inv * inv; // d2F/ds2
        o.gradient[0] = o.gradient[0] + u * so;
        o.gradient[1] = o.gradient[1] + u * sa;
        o.gradient[2] = o.gradient[2] + u * sb;
        const T vo = v * so, va = v * sa, vb = v * sb;
        o.hessian[0] = o.hessian[0] + vo * so;
        o.hessian[1] = o.hessian[1] + vo * sa;
        o.hessian[2] = o.hessian[2] + (vo * sb + u * sbo);
        o.hessian[3] = o.hessian[3] + va * sa;
        o.hessian[4] = o.hessian[4] + (va * sb + u * sba);
        o.hessian[5] = o.hessian[5] + (vb * sb + u * sbb);
        sbo = so + beta * sbo;
        sba = sa + beta * sba;
        sbb = (sb + sb) + beta * sbb;
        so = T(1.0) + beta * so;
        sa = rr + beta * sa;
        sb = s + beta * sb;
    }
    return o;
}

constexpr double omega_floor = 0x1p-52;
constexpr double p_ceiling = 1.0 - 0x1p-20; // alpha + beta stays below 1
constexpr std::size_t max_iterations = 100;
// A step cut below 2^-16 of the Newton step is no longer a Newton method:
// the run stops there (converged only if the model already said so).
constexpr std::size_t max_halvings = 17;
// The Newton decrement squared, in F: the rise of loglik left is about a
// quarter of it.
constexpr double decrement_tolerance = 1e-8;
constexpr double sufficient_decrease = 1e-4;

struct Point {
    std::array<double, 3> x; // omega, p, q
    Objective<double> at;    // in (omega, p, q)
};

double alpha_of(const std::array<double, 3>& x) noexcept {
    return x[1] * x[2];
}
double beta_of(const std::array<double, 3>& x) noexcept {
    return x[1] - alpha_of(x);
}

// The objective in x: the chain rule through alpha = p q, beta = p - p q.
Point evaluate(std::span<const double> returns, double seed, double* variances,
               const std::array<double, 3>& x) noexcept {
    const double p = x[1], q = x[2];
    const Objective<double> t = objective(returns, x[0], alpha_of(x), beta_of(x), seed, variances);
    const auto& g = t.gradient;
    const auto& h = t.hessian;
    // Columns of the Jacobian d theta / d x for p and q.
    const std::array<double, 3> jp{0.0, q, 1.0 - q};
    const std::array<double, 3> jq{0.0, p, -p};
    const auto hv = [&](const std::array<double, 3>& a) {
        return std::array<double, 3>{h[0] * a[0] + h[1] * a[1] + h[2] * a[2],
                                     h[1] * a[0] + h[3] * a[1] + h[4] * a[2],
                                     h[2] * a[0] + h[4] * a[1] + h[5] * a[2]};
    };
    const auto dot = [](const std::array<double, 3>& a, const std::array<double, 3>& b) {
        return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
    };
    const std::array<double, 3> hjp = hv(jp);
    const std::array<double, 3> hjq = hv(jq);
    Point out{x, {t.value, {}, {}}};
    out.at.gradient = {g[0], dot(jp, g), dot(jq, g)};
    // d2 alpha / dp dq = 1 and d2 beta / dp dq = -1.
    out.at.hessian = {h[0],        hjp[0], hjq[0], dot(jp, hjp), dot(jp, hjq) + (g[1] - g[2]),
                      dot(jq, hjq)};
    return out;
}

constexpr std::array<double, 3> lower{omega_floor, 0.0, 0.0};
constexpr std::array<double, 3> upper{INFINITY, p_ceiling, 1.0};

double clamp(double v, std::size_t i) noexcept {
    return v < lower[i] ? lower[i] : (v > upper[i] ? upper[i] : v);
}

// Solves H d = -g over the free coordinates by Cholesky, H damped by mu times
// its diagonal (mu = 0 first) until it is positive definite. Returns mu.
double newton_direction(const Objective<double>& o, const std::array<bool, 3>& free,
                        std::array<double, 3>& d) noexcept {
    const auto& h = o.hessian;
    const std::array<std::array<double, 3>, 3> full{
        {{h[0], h[1], h[2]}, {h[1], h[3], h[4]}, {h[2], h[4], h[5]}}};
    std::array<std::size_t, 3> index{};
    std::size_t m = 0;
    for (std::size_t i = 0; i < 3; ++i) {
        if (free[i]) {
            index[m++] = i;
        }
    }
    d = {0.0, 0.0, 0.0};
    double mu = 0.0;
    for (int attempt = 0; attempt < 40; ++attempt) {
        std::array<std::array<double, 3>, 3> l{};
        bool ok = true;
        for (std::size_t i = 0; i < m && ok; ++i) {
            for (std::size_t j = 0; j <= i; ++j) {
                double sum = full[index[i]][index[j]];
                if (i == j) {
                    const double diag = sum;
                    sum = sum + mu * (diag > 0.0 ? diag : -diag);
                    if (mu > 0.0 && !(diag != 0.0)) {
                        sum = sum + mu;
                    }
                }
                for (std::size_t k = 0; k < j; ++k) {
                    sum = sum - l[i][k] * l[j][k];
                }
                if (i == j) {
                    if (!(sum > 0.0) ||
                        !(sum > 1e-14 * (full[index[i]][index[i]] > 0.0 ? full[index[i]][index[i]]
                                                                        : 1.0))) {
                        ok = false;
                        break;
                    }
                    l[i][i] = std::sqrt(sum);
                } else {
                    l[i][j] = sum / l[j][j];
                }
            }
        }
        if (ok) {
            std::array<double, 3> y{};
            for (std::size_t i = 0; i < m; ++i) {
                double sum = -o.gradient[index[i]];
                for (std::size_t k = 0; k < i; ++k) {
                    sum = sum - l[i][k] * y[k];
                }
                y[i] = sum / l[i][i];
            }
            for (std::size_t i = m; i-- > 0;) {
                double sum = y[i];
                for (std::size_t k = i + 1; k < m; ++k) {
                    sum = sum - l[k][i] * d[index[k]];
                }
                d[index[i]] = sum / l[i][i];
            }
            return mu;
        }
        mu = mu == 0.0 ? 1e-6 : mu * 10.0;
    }
    // Not even a heavily damped Hessian: steepest descent, scaled.
    for (std::size_t i = 0; i < m; ++i) {
        d[index[i]] = -o.gradient[index[i]] * 1e-6;
    }
    return INFINITY;
}

struct Run {
    Point best;
    std::size_t iterations = 0;
    bool converged = false;
};

// Projected Newton from `start`, within `max_passes` passes over the
// returns. Coordinates marked in `held` stay on the bound they start on; the
// run then converges only if the gradient at the end points out of the
// region in each of them (the point is a maximum of the whole region, not
// only of the edge).
Run newton(std::span<const double> returns, double seed, double* variances,
           const std::array<double, 3>& start, const std::array<bool, 3>& held,
           std::size_t max_passes) noexcept {
    Run run{evaluate(returns, seed, variances, start)};
    Point& at = run.best;
    std::size_t passes = 1;
    for (; run.iterations < max_iterations && passes < max_passes; ++run.iterations) {
        if (!(at.at.value == at.at.value) || at.at.value == INFINITY) {
            return run;
        }
        // A coordinate on a bound whose gradient pushes it further out stays
        // there this step.
        std::array<bool, 3> free{};
        bool outward = true;
        for (std::size_t i = 0; i < 3; ++i) {
            const double g = at.at.gradient[i];
            const bool pushed_out =
                (at.x[i] <= lower[i] && g >= 0.0) || (at.x[i] >= upper[i] && g <= 0.0);
            free[i] =
                !held[i] && !((at.x[i] <= lower[i] && g > 0.0) || (at.x[i] >= upper[i] && g < 0.0));
            outward = outward && (!held[i] || pushed_out);
        }
        std::array<double, 3> d{};
        const double mu = newton_direction(at.at, free, d);
        const double decrement =
            -(at.at.gradient[0] * d[0] + at.at.gradient[1] * d[1] + at.at.gradient[2] * d[2]);
        if (mu == 0.0 && decrement <= decrement_tolerance) {
            run.converged = outward;
            return run;
        }
        double step = 1.0;
        bool moved = false;
        for (std::size_t h = 0; h < max_halvings; ++h, step = step * 0.5) {
            std::array<double, 3> x{};
            double predicted = 0.0;
            for (std::size_t i = 0; i < 3; ++i) {
                x[i] = clamp(at.x[i] + step * d[i], i);
                predicted = predicted + at.at.gradient[i] * (x[i] - at.x[i]);
            }
            if (x == at.x) {
                break;
            }
            Point trial = evaluate(returns, seed, variances, x);
            ++passes;
            if (trial.at.value <= at.at.value + sufficient_decrease * predicted) {
                at = trial;
                moved = true;
                break;
            }
        }
        if (!moved) {
            // No decrease is left at the precision of F: a maximum if the
            // Newton model agrees.
            run.converged = outward && mu == 0.0 && decrement <= 10.0 * decrement_tolerance;
            return run;
        }
    }
    return run;
}

} // namespace

Garch11Fit garch11_fit(std::span<const double> returns, std::optional<double> given_seed,
                       std::span<double> scratch) noexcept {
    Garch11Fit fit;
    const double seed = garch11_seed_from(given_seed ? *given_seed : [&] {
        double sum = 0.0;
        for (const double r : returns) {
            sum += r * r;
        }
        return sum / static_cast<double>(returns.size());
    }());
    fit.seed = seed;
    // The power of two that brings the mean square into [1, 4).
    double mean_square = 0.0;
    for (const double r : returns) {
        mean_square += r * r;
    }
    mean_square = mean_square / static_cast<double>(returns.size());
    if (!(mean_square > 0.0) || mean_square == INFINITY) {
        return fit;
    }
    double c = 1.0, c2 = 1.0;
    while (mean_square * c2 < 1.0) {
        c = c * 2.0;
        c2 = c * c;
    }
    while (mean_square * c2 >= 4.0) {
        c = c * 0.5;
        c2 = c * c;
    }
    for (std::size_t i = 0; i < returns.size(); ++i) {
        scratch[i] = returns[i] * c;
    }
    const std::span<const double> scaled(scratch.data(), returns.size());
    const double scaled_seed = seed * c2;
    // Starts: a persistent process with the unconditional variance at the
    // seed; the edge alpha = 0 from the same variance (q held on its bound,
    // omega and p free); and the edge alpha = 0, omega -> 0 of a variance
    // decaying slowly from the seed (only p free), where the best fits of
    // trending variances lie. An edge run is kept only where its end is a
    // maximum of the whole region; anything else is left to the first
    // start, whose iterates reach an interior maximum faster than a crawl
    // off the edge would.
    // The edge starts get a budget of passes: where their edge holds no
    // maximum, Newton on it can wander a long way before saying so.
    struct Start {
        double omega_share; // of the seed's (1 - p)
        double p;
        double q;
        std::array<bool, 3> held;
        std::size_t max_passes;
    };
    constexpr std::array<Start, 3> starts{{{1.0, 0.98, 0.06, {false, false, false}, 1000},
                                           {1.0, 0.99, 0.0, {false, false, true}, 20},
                                           {0.0, 0.999, 0.0, {true, false, true}, 30}}};
    Run best{};
    bool have = false;
    double* const variances = scratch.data() + returns.size();
    for (const Start& start : starts) {
        const double omega = clamp(start.omega_share * (scaled_seed * (1.0 - start.p)), 0);
        Run run = newton(scaled, scaled_seed, variances, {omega, start.p, start.q}, start.held,
                         start.max_passes);
        const bool better =
            !have || (run.converged && !best.converged) ||
            (run.converged == best.converged && run.best.at.value < best.best.at.value);
        if (better) {
            best = run;
            have = true;
        }
    }
    const auto& x = best.best.x;
    // A point on the ceiling of alpha + beta is not a maximum of the open set
    // the model allows: the likelihood still rises past it.
    const bool on_edge = x[1] >= p_ceiling;
    fit.omega = x[0] / c2;
    fit.alpha = alpha_of(x);
    fit.beta = beta_of(x);
    fit.iterations = static_cast<std::uint32_t>(best.iterations);
    fit.converged = best.converged && !on_edge;
    fit.loglik = garch11_loglik<double>(returns, fit.omega, fit.alpha, fit.beta, seed);
    return fit;
}

} // namespace tarnwick
