// SPDX-License-Identifier: MIT
// The GARCH(1,1) fit and likelihoods four series at a time in AVX2
// registers. Built with -mavx2 alone (no FMA, and no contraction in any
// case) and chosen only where the processor has AVX2 (rows.hpp).
#define TARNWICK_TARGET avx2
#include "garch11_fit.hpp"

#if defined(__AVX2__) && defined(__GNUC__)
#include "garch11_fit_lanes.hpp"
#include "vector_lanes.hpp"

namespace tarnwick {
extern const Garch11WideLanes garch11_avx2_lanes{4, &avx2::fit_rows<avx2::VectorLanes<4>>,
                                                 &avx2::loglik_rows<avx2::VectorLanes<4>>};
} // namespace tarnwick
#else
namespace tarnwick {
extern const Garch11WideLanes garch11_avx2_lanes{4, nullptr, nullptr};
} // namespace tarnwick
#endif
