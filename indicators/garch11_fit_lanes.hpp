// SPDX-License-Identifier: MIT
// The GARCH(1,1) fit's machinery over a lane set (lane_ops.hpp), for each
// instruction set's translation unit to build in its own namespace
// (TARNWICK_TARGET): garch11_fit.cpp for one and two lanes, the wider ones
// in files of their own. The method is described in garch11_fit.cpp.
#pragma once

#include "garch11_fit.hpp"

#include <array>
#include <cmath>
#include <limits>
#include <optional>

namespace tarnwick::TARNWICK_TARGET {

namespace {

// Minus twice the log-likelihood without its constant, F = sum of
// log(s) + r^2 / s, with its gradient and Hessian in theta = (omega, alpha,
// beta). The Hessian is packed: oo, oa, ob, aa, ab, bb.
template <class T> struct Objective {
    T value;
    std::array<T, 3> gradient;
    std::array<T, 6> hessian;
};

// The objective of L::width series at once, their returns interleaved
// (return t of lane j at returns[t * width + j]), in two passes. The first
// is the chain of variances, one product and one sum per return, with the
// value's running sums alongside (the chain leaves the processor time for
// them); it keeps the variances and their reciprocals in `variances`
// (2 * width doubles per return).
//
// The value is the optimiser's own, not the reported log-likelihood (which
// the fit takes once at the end, in its documented order): the sum of the
// logarithms of the variances is taken as the sum of their exponents and
// one logarithm of the product of their mantissas per block of returns,
// a fixed sequence of IEEE operations like the rest, a third of the work of
// a logarithm per return. A lane whose variances leave the normal range
// (zero, subnormal, infinite or NaN: returns the fit will not converge on)
// takes the sum of logarithms return by return instead.
template <class L, class V = typename L::V>
V objective_value(const double* returns, std::size_t n, V omega, V alpha, V beta, V seed,
                  double* variances) noexcept {
    namespace d = exact_log_detail;
    using Bits = d::LogBits<V>;
    constexpr std::size_t w = L::width;
    // Mantissas in [1, 2): a block's product stays below 2^32.
    constexpr std::size_t block = 32;
    const V zero = L::splat(0.0), one = L::splat(1.0);
    const auto mantissa = Bits::splat(0x000fffffffffffff);
    const auto unit = Bits::splat(0x3ff0000000000000);
    V ratios = zero, logs = zero;
    auto exponents = Bits::splat(0); // the biased exponent fields, summed exactly
    V low = seed, high = seed;
    V s = seed;
    for (std::size_t from = 0; from < n; from += block) {
        const std::size_t to = n - from < block ? n : from + block;
        V product = one;
        for (std::size_t i = from; i < to; ++i) {
            const V r = L::load(returns + i * w);
            const V inv = one / s;
            ratios = ratios + (r * r) * inv;
            const auto bits = Bits::bits(s);
            exponents = Bits::add(exponents, Bits::exponent(bits));
            product = product * Bits::value(Bits::either(Bits::both(bits, mantissa), unit));
            low = select(s < low, s, low);
            high = select(high < s, s, high);
            L::store(variances + 2 * i * w, s);
            L::store(variances + (2 * i + 1) * w, inv);
            s = garch11_next<L>(s, r, omega, alpha, beta);
        }
        logs = logs + exact_log_lanes<L>(product);
    }
    // The exponents' sum less the bias of each, exactly (both below 2^53).
    const V two52 = L::splat(d::from_bits(0x4330000000000000));
    const V biased = Bits::value(Bits::either(exponents, Bits::bits(two52))) - two52;
    const V unbiased = biased - L::splat(1023.0 * static_cast<double>(n));
    const V value = ratios + (logs + unbiased * L::splat(d::ln2_hi + d::ln2_lo));
    // Above the largest subnormal and below infinity (NaN is neither).
    const auto normal = (L::splat(d::from_bits(0x000fffffffffffff)) < low) &
                        (high < L::splat(std::numeric_limits<double>::infinity()));
    std::array<double, w> lanes{};
    L::store(lanes.data(), select(normal, zero, one));
    bool all_normal = true;
    for (const double lane : lanes) {
        all_normal = all_normal && lane == 0.0;
    }
    if (all_normal) {
        return value;
    }
    V exact = zero;
    for (std::size_t i = 0; i < n; ++i) {
        const V r = L::load(returns + i * w);
        exact = exact + (exact_log_lanes<L>(L::load(variances + 2 * i * w)) +
                         (r * r) * L::load(variances + (2 * i + 1) * w));
    }
    return select(normal, value, exact);
}

// The second pass, from what the first kept: the gradient and Hessian,
// whose returns are independent of one another but for the running sums. A
// line search that turns a point down needs only the first.
template <class L, class V = typename L::V>
Objective<V> objective_derivatives(const double* returns, std::size_t n, V beta, V value,
                                   const double* variances) noexcept {
    constexpr std::size_t w = L::width;
    const V zero = L::splat(0.0), one = L::splat(1.0);
    Objective<V> o{value, {zero, zero, zero}, {zero, zero, zero, zero, zero, zero}};
    // First derivatives of s in omega, alpha, beta; second derivatives in
    // (beta, omega), (beta, alpha), (beta, beta), the only ones not zero.
    V so = zero, sa = zero, sb = zero;
    V sbo = zero, sba = zero, sbb = zero;
    for (std::size_t i = 0; i < n; ++i) {
        const V r = L::load(returns + i * w);
        const V s = L::load(variances + 2 * i * w);
        const V inv = L::load(variances + (2 * i + 1) * w);
        const V rr = r * r;
        const V ratio = rr * inv;
        const V u = (one - ratio) * inv;                 // dF/ds
        const V v = ((ratio + ratio) - one) * inv * inv; // d2F/ds2
        o.gradient[0] = o.gradient[0] + u * so;
        o.gradient[1] = o.gradient[1] + u * sa;
        o.gradient[2] = o.gradient[2] + u * sb;
        const V vo = v * so, va = v * sa, vb = v * sb;
        o.hessian[0] = o.hessian[0] + vo * so;
        o.hessian[1] = o.hessian[1] + vo * sa;
        o.hessian[2] = o.hessian[2] + (vo * sb + u * sbo);
        o.hessian[3] = o.hessian[3] + va * sa;
        o.hessian[4] = o.hessian[4] + (va * sb + u * sba);
        o.hessian[5] = o.hessian[5] + (vb * sb + u * sbb);
        sbo = so + beta * sbo;
        sba = sa + beta * sba;
        sbb = (sb + sb) + beta * sbb;
        so = one + beta * so;
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

// The objective in x from `t`, the objective in theta at x: the chain rule
// through alpha = p q, beta = p - p q.
Point point_at(const std::array<double, 3>& x, const Objective<double>& t) noexcept {
    const double p = x[1], q = x[2];
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

// Projected Newton from a start, within a budget of passes over the
// returns. Coordinates marked `held` stay on the bound they start on; the
// run then converges only if the gradient at the end points out of the
// region in each of them (the point is a maximum of the whole region, not
// only of the edge).
//
// The run is stepped from outside, one objective at a time, so that the
// objectives of several series can be computed side by side: `wanted` is the
// point whose objective the run needs next, `take` hands it over.
class Newton {
  public:
    Newton(const std::array<double, 3>& start, const std::array<bool, 3>& held,
           std::size_t max_passes) noexcept
        : held_(held), max_passes_(max_passes), wanted_(start) {}

    [[nodiscard]] bool done() const noexcept { return done_; }
    [[nodiscard]] const std::array<double, 3>& wanted() const noexcept { return wanted_; }
    [[nodiscard]] const Run& run() const noexcept { return run_; }
    // Objectives taken so far, kept or turned down.
    [[nodiscard]] std::size_t passes() const noexcept { return passes_; }
    // Ends the run where it is, not converged.
    void stop() noexcept { done_ = true; }

    // Whether the objective whose value is `value` is kept (the start, or a
    // step with enough decrease), so that its derivatives are needed; if not,
    // the step is halved.
    [[nodiscard]] bool keeps(double value) noexcept {
        if (passes_ == 0 || value <= run_.best.at.value + sufficient_decrease * predicted_) {
            return true;
        }
        ++passes_;
        step_ = step_ * 0.5;
        ++halvings_;
        try_step();
        return false;
    }

    // The whole objective at the point kept.
    void take(const Objective<double>& t) noexcept {
        run_.best = point_at(wanted_, t);
        if (++passes_ > 1) {
            ++run_.iterations;
        }
        iterate();
    }

  private:
    // The top of an iteration at run_.best: stop, or choose the direction
    // and try its full step.
    void iterate() noexcept {
        const Point& at = run_.best;
        if (run_.iterations >= max_iterations || passes_ >= max_passes_ ||
            !(at.at.value == at.at.value) || at.at.value == INFINITY) {
            done_ = true;
            return;
        }
        // A coordinate on a bound whose gradient pushes it further out stays
        // there this step.
        std::array<bool, 3> free{};
        outward_ = true;
        for (std::size_t i = 0; i < 3; ++i) {
            const double g = at.at.gradient[i];
            const bool pushed_out =
                (at.x[i] <= lower[i] && g >= 0.0) || (at.x[i] >= upper[i] && g <= 0.0);
            free[i] = !held_[i] &&
                      !((at.x[i] <= lower[i] && g > 0.0) || (at.x[i] >= upper[i] && g < 0.0));
            outward_ = outward_ && (!held_[i] || pushed_out);
        }
        mu_ = newton_direction(at.at, free, d_);
        decrement_ =
            -(at.at.gradient[0] * d_[0] + at.at.gradient[1] * d_[1] + at.at.gradient[2] * d_[2]);
        if (mu_ == 0.0 && decrement_ <= decrement_tolerance) {
            run_.converged = outward_;
            done_ = true;
            return;
        }
        step_ = 1.0;
        halvings_ = 0;
        try_step();
    }

    // The point `step_` along the direction, or the end of the run where the
    // step is cut too far or no longer moves.
    void try_step() noexcept {
        const Point& at = run_.best;
        if (halvings_ < max_halvings) {
            std::array<double, 3> x{};
            predicted_ = 0.0;
            for (std::size_t i = 0; i < 3; ++i) {
                x[i] = clamp(at.x[i] + step_ * d_[i], i);
                predicted_ = predicted_ + at.at.gradient[i] * (x[i] - at.x[i]);
            }
            if (x != at.x) {
                wanted_ = x;
                return;
            }
        }
        // No decrease is left at the precision of F: a maximum if the Newton
        // model agrees.
        run_.converged = outward_ && mu_ == 0.0 && decrement_ <= 10.0 * decrement_tolerance;
        done_ = true;
    }

    std::array<bool, 3> held_;
    std::size_t max_passes_;
    std::array<double, 3> wanted_;
    Run run_{};
    std::size_t passes_ = 0;
    bool done_ = false;
    bool outward_ = true;
    std::array<double, 3> d_{};
    double mu_ = 0.0;
    double decrement_ = 0.0;
    double step_ = 1.0;
    std::size_t halvings_ = 0;
    double predicted_ = 0.0;
};

// Starts: a persistent process with the unconditional variance at the seed;
// the edge alpha = 0 from the same variance (q held on its bound, omega and
// p free); and the edge alpha = 0, omega -> 0 of a variance decaying slowly
// from the seed (only p free), where the best fits of trending variances
// lie. An edge run is kept only where its end is a maximum of the whole
// region; anything else is left to the first start, whose iterates reach an
// interior maximum faster than a crawl off the edge would. The edge starts
// get a budget of passes: where their edge holds no maximum, Newton on it
// can wander a long way before saying so.
struct Start {
    double omega_share; // of the seed's (1 - p)
    double p;
    double q;
    std::array<bool, 3> held;
    std::size_t max_passes;
    bool stops_trailing; // Series::trails
};
constexpr std::array<Start, 3> starts{{{1.0, 0.98, 0.06, {false, false, false}, 1000, false},
                                       {1.0, 0.99, 0.0, {false, false, true}, 20, true},
                                       {0.0, 0.999, 0.0, {true, false, true}, 30, false}}};

// One series' fit: its returns scaled by a power of two c that brings the
// mean of their squares into [1, 4), and the runs from each start, which
// are independent of one another and may end in any order; the choice
// among them is made in the starts' order once all have ended.
class Series {
  public:
    // Writes the scaled returns to `scaled`.
    void prepare(std::span<const double> returns, std::optional<double> given_seed,
                 double* scaled) noexcept {
        *this = Series();
        const double seed = garch11_seed_from(given_seed ? *given_seed : [&] {
            double sum = 0.0;
            for (const double r : returns) {
                sum += r * r;
            }
            return sum / static_cast<double>(returns.size());
        }());
        fit_.seed = seed;
        double mean_square = 0.0;
        for (const double r : returns) {
            mean_square += r * r;
        }
        mean_square = mean_square / static_cast<double>(returns.size());
        if (!(mean_square > 0.0) || mean_square == INFINITY) {
            ended_ = starts.size();
            return;
        }
        c2_ = 1.0;
        double c = 1.0;
        while (mean_square * c2_ < 1.0) {
            c = c * 2.0;
            c2_ = c * c;
        }
        while (mean_square * c2_ >= 4.0) {
            c = c * 0.5;
            c2_ = c * c;
        }
        for (std::size_t i = 0; i < returns.size(); ++i) {
            scaled[i] = returns[i] * c;
        }
        scaled_seed_ = seed * c2_;
    }

    [[nodiscard]] double scaled_seed() const noexcept { return scaled_seed_; }
    [[nodiscard]] bool done() const noexcept { return ended_ == starts.size(); }

    // The run from start k.
    [[nodiscard]] Newton run_from(std::size_t k) const noexcept {
        const Start& s = starts[k];
        const double omega = clamp(s.omega_share * (scaled_seed_ * (1.0 - s.p)), 0);
        return Newton({omega, s.p, s.q}, s.held, s.max_passes);
    }

    void ended(std::size_t k, const Run& run) noexcept {
        runs_[k] = run;
        ++ended_;
    }

    // The first start's run after its pass `passes`: its value is kept for
    // the trailing rule below.
    void first_run_at(std::size_t passes, double value) noexcept {
        if (passes <= first_values_.size()) {
            first_values_[passes - 1] = value;
            first_passes_ = passes;
        }
    }

    // Whether the run from start k (one that stops_trailing) should stop,
    // `value` its best objective after `passes` passes. The edge alpha = 0
    // with omega free is nearly flat along a ridge, and Newton creeps along
    // it for its whole budget where it holds no maximum; where it does, its
    // run starts and stays within a fraction of a unit of the first start's
    // at the same number of passes (measured on 800 simulated series,
    // alpha = 0 among them). So a run on that edge that trails the first
    // start's by more than two units of F (one of log-likelihood) and a
    // thousandth of one per return, pass for pass, is stopped. The first
    // start's run is always as far along, having been given a lane no later,
    // so the rule reads only values and gives the same bits on every lane
    // path.
    [[nodiscard]] bool trails(std::size_t k, std::size_t passes, double value,
                              std::size_t returns) const noexcept {
        if (!starts[k].stops_trailing || first_passes_ == 0) {
            return false;
        }
        const std::size_t at = passes < first_passes_ ? passes : first_passes_;
        const double margin = 2.0 + 0.001 * static_cast<double>(returns);
        return value - first_values_[at - 1] > margin;
    }

    // Whether the runs had returns to fit (a series whose squares do not
    // sum to a finite number above 0 has none, and its fit is NaN).
    [[nodiscard]] bool fitted() const noexcept { return c2_ != 0.0; }

    // The fit, once done(), in the caller's units but for its
    // log-likelihood, which the caller takes on its returns
    // (garch11_loglik at the fit's numbers and seed).
    [[nodiscard]] Garch11Fit fit() const noexcept {
        Garch11Fit fit = fit_;
        if (!fitted()) {
            return fit;
        }
        Run best = runs_[0];
        for (std::size_t k = 1; k < starts.size(); ++k) {
            const Run& run = runs_[k];
            if ((run.converged && !best.converged) ||
                (run.converged == best.converged && run.best.at.value < best.best.at.value)) {
                best = run;
            }
        }
        const auto& x = best.best.x;
        // A point on the ceiling of alpha + beta is not a maximum of the open
        // set the model allows: the likelihood still rises past it.
        const bool on_edge = x[1] >= p_ceiling;
        fit.omega = x[0] / c2_;
        fit.alpha = alpha_of(x);
        fit.beta = beta_of(x);
        fit.iterations = static_cast<std::uint32_t>(best.iterations);
        fit.converged = best.converged && !on_edge;
        return fit;
    }

  private:
    Garch11Fit fit_;
    double c2_ = 0.0, scaled_seed_ = 0.0;
    std::array<Run, starts.size()> runs_{};
    std::size_t ended_ = 0;
    // The first start's best value after each of its first passes.
    std::array<double, 64> first_values_{};
    std::size_t first_passes_ = 0;
};

// The doubles of scratch for `lanes` lanes and series of at most `longest`
// returns: interleaved returns, variances and reciprocals; the scaled
// returns of one series per lane; a series gathered; the interleaved
// returns of the fits whose log-likelihoods are taken together.
constexpr std::size_t scratch_for(std::size_t lanes, std::size_t longest) noexcept {
    return (5 * lanes + 1) * longest;
}

std::optional<double> seed_given(const Garch11Rows& rows, std::size_t r) noexcept {
    const Garch11Parameters p = rows.parameters(r);
    return p.seeded ? std::optional<double>(p.seed) : std::nullopt;
}

// Runs side by side in the lanes of L, a run being one series from one
// start, all of one length at a time: each lane holds a run until it ends,
// then the next; a series' runs may share the lanes with another's.
template <class L>
void fit_rows(const Garch11Rows& rows, Garch11FitSink& out, std::span<double> scratch) noexcept {
    using V = typename L::V;
    constexpr std::size_t w = L::width;
    constexpr std::size_t slots = w; // series under way: one a lane at most
    constexpr std::size_t none = static_cast<std::size_t>(-1);
    const std::size_t longest = rows.longest();
    double* const returns = scratch.data();
    double* const variances = returns + w * longest;
    double* const scaled = variances + 2 * w * longest; // one series per slot
    double* const gathered = scaled + slots * longest;
    double* const finals = gathered + longest;
    // Lanes that hold no run compute on what their columns last held.
    for (std::size_t i = 0; i < 3 * w * longest; ++i) {
        scratch[i] = 1.0;
    }
    for (std::size_t i = 0; i < w * longest; ++i) {
        finals[i] = 1.0;
    }
    std::array<Series, slots> series{};
    std::array<std::size_t, slots> row_of{};
    std::array<std::size_t, slots> unfinished{}; // runs not yet ended
    struct Lane {
        Newton run{{0.0, 0.0, 0.0}, {}, 0};
        std::size_t slot = none;
        std::size_t start = 0;
    };
    std::array<Lane, w> lanes{};
    std::array<std::array<double, 4>, w> theta{}; // omega, alpha, beta, seed
    for (auto& t : theta) {
        t = {1.0, 0.0, 0.0, 1.0};
    }
    std::size_t next = 0, length = 0, active = 0;
    std::size_t current = none, next_start = 0; // the series whose runs go in next
    // Fits whose runs have all ended wait for their log-likelihoods, taken
    // L::width at a time side by side, all of one length: each lane's bits
    // are those of garch11_loglik on that series alone, a tenth of a
    // panel's time when taken one series at a time.
    std::array<std::size_t, w> waiting_row{};
    std::array<Garch11Fit, w> waiting_fit{};
    std::size_t waiting = 0, waiting_length = 0;
    const auto take_logliks = [&] {
        // Idle lanes compute on ones with weights (1, 0, 0) and seed 1.
        std::array<std::array<double, w>, 4> at{};
        at[0].fill(1.0);
        at[3].fill(1.0);
        for (std::size_t j = 0; j < waiting; ++j) {
            const std::span<const double> row = rows.row(waiting_row[j], gathered);
            for (std::size_t i = 0; i < waiting_length; ++i) {
                finals[i * w + j] = row[i];
            }
            const Garch11Fit& fit = waiting_fit[j];
            at[0][j] = fit.omega;
            at[1][j] = fit.alpha;
            at[2][j] = fit.beta;
            at[3][j] = fit.seed;
        }
        const auto lanes_of = [&](std::size_t k) { return L::load(at[k].data()); };
        std::array<double, w> logliks{};
        L::store(logliks.data(), garch11_loglik_lanes<L>(finals, waiting_length, lanes_of(0),
                                                         lanes_of(1), lanes_of(2), lanes_of(3)));
        for (std::size_t j = 0; j < waiting; ++j) {
            waiting_fit[j].loglik = logliks[j];
            out.put(waiting_row[j], waiting_fit[j]);
        }
        waiting = 0;
    };
    // Series `slot`, whose runs have all ended.
    const auto finish = [&](std::size_t slot) {
        const Garch11Fit fit = series[slot].fit();
        if (!series[slot].fitted()) {
            out.put(row_of[slot], fit);
            return;
        }
        if (waiting != 0 && waiting_length != length) {
            take_logliks();
        }
        waiting_row[waiting] = row_of[slot];
        waiting_fit[waiting] = fit;
        waiting_length = length;
        if (++waiting == w) {
            take_logliks();
        }
    };
    // Series `next` into a free slot, or none when it must wait for another
    // length (or there is none left).
    const auto admit = [&]() -> std::size_t {
        while (next < rows.count()) {
            const std::span<const double> row = rows.row(next, gathered);
            if (active != 0 && row.size() != length) {
                return none;
            }
            std::size_t slot = 0;
            while (unfinished[slot] != 0) {
                ++slot;
            }
            series[slot].prepare(row, seed_given(rows, next), scaled + slot * longest);
            row_of[slot] = next++;
            if (series[slot].done()) {
                out.put(row_of[slot], series[slot].fit());
                continue;
            }
            length = row.size();
            unfinished[slot] = starts.size();
            return slot;
        }
        return none;
    };
    for (;;) {
        for (std::size_t j = 0; j < w; ++j) {
            if (lanes[j].slot != none) {
                continue;
            }
            if (current == none) {
                current = admit();
                next_start = 0;
                if (current == none) {
                    break;
                }
            }
            const double* from = scaled + current * longest;
            for (std::size_t i = 0; i < length; ++i) {
                returns[i * w + j] = from[i];
            }
            lanes[j] = {series[current].run_from(next_start), current, next_start};
            ++active;
            if (++next_start == starts.size()) {
                current = none;
            }
        }
        if (active == 0) {
            if (waiting != 0) {
                take_logliks();
            }
            return;
        }
        for (std::size_t j = 0; j < w; ++j) {
            if (lanes[j].slot != none) {
                const auto& x = lanes[j].run.wanted();
                theta[j] = {x[0], alpha_of(x), beta_of(x), series[lanes[j].slot].scaled_seed()};
            }
        }
        std::array<V, 4> at;
        for (std::size_t k = 0; k < 4; ++k) {
            std::array<double, w> column;
            for (std::size_t j = 0; j < w; ++j) {
                column[j] = theta[j][k];
            }
            at[k] = L::load(column.data());
        }
        const V value = objective_value<L>(returns, length, at[0], at[1], at[2], at[3], variances);
        // Lane j of each part of the objective.
        std::array<std::array<double, w>, 10> parts{};
        L::store(parts[0].data(), value);
        std::array<bool, w> kept{};
        bool any = false;
        for (std::size_t j = 0; j < w; ++j) {
            kept[j] = lanes[j].slot != none && lanes[j].run.keeps(parts[0][j]);
            any = any || kept[j];
        }
        if (any) {
            const Objective<V> o =
                objective_derivatives<L>(returns, length, at[2], value, variances);
            for (std::size_t k = 0; k < 3; ++k) {
                L::store(parts[1 + k].data(), o.gradient[k]);
            }
            for (std::size_t k = 0; k < 6; ++k) {
                L::store(parts[4 + k].data(), o.hessian[k]);
            }
        }
        // The first starts' runs before the others, whose rule reads them.
        for (const bool first_start : {true, false}) {
            for (std::size_t j = 0; j < w; ++j) {
                Lane& lane = lanes[j];
                if (lane.slot == none || (lane.start == 0) != first_start) {
                    continue;
                }
                if (kept[j]) {
                    lane.run.take({parts[0][j],
                                   {parts[1][j], parts[2][j], parts[3][j]},
                                   {parts[4][j], parts[5][j], parts[6][j], parts[7][j], parts[8][j],
                                    parts[9][j]}});
                }
                Series& of = series[lane.slot];
                const double best = lane.run.run().best.at.value;
                if (first_start) {
                    of.first_run_at(lane.run.passes(), best);
                } else if (!lane.run.done() &&
                           of.trails(lane.start, lane.run.passes(), best, length)) {
                    lane.run.stop();
                }
                if (!lane.run.done()) {
                    continue;
                }
                const std::size_t slot = lane.slot;
                of.ended(lane.start, lane.run.run());
                lane.slot = none;
                --active;
                if (--unfinished[slot] == 0) {
                    finish(slot);
                }
            }
        }
    }
}

// The log-likelihoods of the series, L::width at a time while whole groups
// of one length remain, then one at a time. `scratch` holds L::width + 1
// series.
template <class L>
void loglik_rows(const Garch11Rows& rows, std::span<double> out,
                 std::span<double> scratch) noexcept {
    constexpr std::size_t w = L::width;
    double* const buffer = scratch.data() + w * rows.longest();
    const auto seed_of = [&](std::span<const double> row, const Garch11Parameters& p) {
        return row.empty() ? 0.0 : (p.seeded ? garch11_seed_from(p.seed) : garch11_seed(row));
    };
    std::size_t r = 0;
    for (; w > 1 && rows.one_length() && r + w <= rows.count(); r += w) {
        std::array<std::array<double, w>, 4> weights{}; // omega, alpha, beta, seed
        std::size_t n = 0;
        for (std::size_t j = 0; j < w; ++j) {
            const std::span<const double> row = rows.row(r + j, buffer);
            const Garch11Parameters p = rows.parameters(r + j);
            n = row.size();
            for (std::size_t i = 0; i < n; ++i) {
                scratch[w * i + j] = row[i];
            }
            weights[0][j] = p.omega;
            weights[1][j] = p.alpha;
            weights[2][j] = p.beta;
            weights[3][j] = seed_of(row, p);
        }
        const auto lanes = [&](std::size_t k) { return L::load(weights[k].data()); };
        L::store(out.data() + r, garch11_loglik_lanes<L>(scratch.data(), n, lanes(0), lanes(1),
                                                         lanes(2), lanes(3)));
    }
    for (; r < rows.count(); ++r) {
        const std::span<const double> row = rows.row(r, buffer);
        const Garch11Parameters p = rows.parameters(r);
        out[r] = garch11_loglik(row, p.omega, p.alpha, p.beta, seed_of(row, p));
    }
}

} // namespace

} // namespace tarnwick::TARNWICK_TARGET
