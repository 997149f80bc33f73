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

#include "garch11_fit_lanes.hpp"
#include "lanes.hpp"
#include "rows.hpp"

#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace tarnwick::TARNWICK_TARGET::exact_log_detail {

// The reduction's integer steps in the two-lane code of lanes.hpp.
#if defined(TARNWICK_LANES_SSE2)
template <> struct LogBits<lanes::sse2::f64x2> {
    using B = __m128i;
    static B bits(lanes::sse2::f64x2 x) noexcept { return _mm_castpd_si128(x.v); }
    static lanes::sse2::f64x2 value(B b) noexcept { return {_mm_castsi128_pd(b)}; }
    static B splat(std::uint64_t b) noexcept { return _mm_set1_epi64x(static_cast<long long>(b)); }
    static B both(B a, B b) noexcept { return _mm_and_si128(a, b); }
    static B either(B a, B b) noexcept { return _mm_or_si128(a, b); }
    static B differ(B a, B b) noexcept { return _mm_xor_si128(a, b); }
    static B add(B a, B b) noexcept { return _mm_add_epi64(a, b); }
    static B exponent(B a) noexcept { return _mm_srli_epi64(a, 52); }
};
#elif defined(TARNWICK_LANES_NEON)
template <> struct LogBits<lanes::neon::f64x2> {
    using B = uint64x2_t;
    static B bits(lanes::neon::f64x2 x) noexcept { return vreinterpretq_u64_f64(x.v); }
    static lanes::neon::f64x2 value(B b) noexcept { return {vreinterpretq_f64_u64(b)}; }
    static B splat(std::uint64_t b) noexcept { return vdupq_n_u64(b); }
    static B both(B a, B b) noexcept { return vandq_u64(a, b); }
    static B either(B a, B b) noexcept { return vorrq_u64(a, b); }
    static B differ(B a, B b) noexcept { return veorq_u64(a, b); }
    static B add(B a, B b) noexcept { return vaddq_u64(a, b); }
    static B exponent(B a) noexcept { return vshrq_n_u64(a, 52); }
};
#endif
// The reference pair: each lane the scalar steps.
template <> struct LogBits<lanes::scalar::f64x2> {
    using One = LogBits<double>;
    struct B {
        std::uint64_t lane[2];
    };
    template <class F> static B each(B a, B b, F f) noexcept {
        return {{f(a.lane[0], b.lane[0]), f(a.lane[1], b.lane[1])}};
    }
    static B bits(lanes::scalar::f64x2 x) noexcept {
        return {{One::bits(x.lane[0]), One::bits(x.lane[1])}};
    }
    static lanes::scalar::f64x2 value(B b) noexcept {
        return {{One::value(b.lane[0]), One::value(b.lane[1])}};
    }
    static B splat(std::uint64_t b) noexcept { return {{b, b}}; }
    static B both(B a, B b) noexcept { return each(a, b, One::both); }
    static B either(B a, B b) noexcept { return each(a, b, One::either); }
    static B differ(B a, B b) noexcept { return each(a, b, One::differ); }
    static B add(B a, B b) noexcept { return each(a, b, One::add); }
    static B exponent(B a) noexcept {
        return each(a, a, [](auto x, auto) { return One::exponent(x); });
    }
};

} // namespace tarnwick::TARNWICK_TARGET::exact_log_detail

namespace tarnwick {

namespace {

using PairLanes = TARNWICK_TARGET::lanes::PairLanes;

} // namespace

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

// One series given as a span.
class OneRow final : public Garch11Rows {
  public:
    OneRow(std::span<const double> returns, std::optional<double> seed) noexcept
        : returns_(returns), seed_(seed) {}
    std::size_t count() const noexcept override { return 1; }
    std::size_t longest() const noexcept override { return returns_.size(); }
    bool one_length() const noexcept override { return true; }
    std::span<const double> row(std::size_t, double*) const noexcept override { return returns_; }
    Garch11Parameters parameters(std::size_t) const noexcept override {
        return {quiet_nan, quiet_nan, quiet_nan, seed_.has_value(), seed_.value_or(0.0)};
    }

  private:
    std::span<const double> returns_;
    std::optional<double> seed_;
};

} // namespace

static_assert(garch11_fit_scratch(1) == TARNWICK_TARGET::scratch_for(1, 1));

Garch11Fit garch11_fit(std::span<const double> returns, std::optional<double> seed,
                       std::span<double> scratch) noexcept {
    struct One final : Garch11FitSink {
        Garch11Fit fit;
        void put(std::size_t, const Garch11Fit& f) noexcept override { fit = f; }
    } one;
    TARNWICK_TARGET::fit_rows<TARNWICK_TARGET::OneLane>(OneRow(returns, seed), one, scratch);
    return one.fit;
}

#if defined(TARNWICK_ROWS_X86_64)
extern const Garch11WideLanes garch11_avx2_lanes;
extern const Garch11WideLanes garch11_avx512_lanes;
#endif

namespace {

using TARNWICK_TARGET::fit_rows;
using TARNWICK_TARGET::loglik_rows;

// The widest lanes this process uses (lane_path() of rows.hpp), but two
// where that is scalar unless TARNWICK_LANES asks for scalar ones: unlike
// the indicators' rows, a fit does enough work per return for two lanes to
// pay on every processor. A single series (three runs, one per start) takes
// AVX2's four lanes over AVX-512's eight, whose idle lanes would cost time
// for nothing. Null for one or two lanes.
const Garch11WideLanes* wide_lanes(std::size_t series, bool& scalar) noexcept {
    const char* asked = std::getenv("TARNWICK_LANES");
    scalar = asked != nullptr && std::strcmp(asked, "scalar") == 0;
#if defined(TARNWICK_ROWS_X86_64)
    const LanePath path = lane_path();
    const Garch11WideLanes* wide = path == LanePath::avx512 && series > 1 ? &garch11_avx512_lanes
                                   : path == LanePath::avx512 || path == LanePath::avx2
                                       ? &garch11_avx2_lanes
                                       : nullptr;
    return wide != nullptr && wide->fit != nullptr ? wide : nullptr;
#else
    static_cast<void>(series);
    return nullptr;
#endif
}

} // namespace

std::size_t garch11_rows_scratch(std::size_t longest) noexcept {
    return TARNWICK_TARGET::scratch_for(8, longest);
}

void garch11_fit_rows(const Garch11Rows& rows, Garch11FitSink& out,
                      std::span<double> scratch) noexcept {
    bool scalar = false;
    if (const Garch11WideLanes* wide = wide_lanes(rows.count(), scalar)) {
        wide->fit(rows, out, scratch);
    } else if (scalar) {
        fit_rows<TARNWICK_TARGET::OneLane>(rows, out, scratch);
    } else {
        fit_rows<PairLanes>(rows, out, scratch);
    }
}

void garch11_loglik_rows(const Garch11Rows& rows, std::span<double> out,
                         std::span<double> scratch) noexcept {
    bool scalar = false;
    if (const Garch11WideLanes* wide = wide_lanes(rows.count(), scalar)) {
        wide->loglik(rows, out, scratch);
    } else if (scalar) {
        loglik_rows<TARNWICK_TARGET::OneLane>(rows, out, scratch);
    } else {
        loglik_rows<PairLanes>(rows, out, scratch);
    }
}

} // namespace tarnwick
